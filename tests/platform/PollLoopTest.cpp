#include <gtest/gtest.h>

#include <string>

#include "PollLoop.h"
#include "Wakeup.h"

namespace {

// The read hook follows the tasks of a wake-up that found a line readable, once, and no wake-up
// by a post alone: the writer is released once per batch the lines handed in, not per turn.
TEST(PollLoop, ReadHookFollowsTheLinesOfAWakeUpOnly) {
  std::string order;
  TPollLoop loop({}, {}, [&order] { order += "read;"; });
  TWakeup line;
  ASSERT_TRUE(loop.Watch(line.Descriptor(), [&] {
    order += "line;";
    line.Take();
    loop.Post([&order] { order += "post;"; });
    loop.Quit();
  }));
  line.Give();
  loop.Run();
  EXPECT_EQ(order, "line;read;post;");
}

}  // namespace
