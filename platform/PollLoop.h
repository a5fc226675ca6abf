#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Wakeup.h"

// One thread's wait on many descriptors and deadlines at once. A wake-up costs what is ready,
// not what is watched (epoll), so one thread can keep thousands of quiet lines. Everything but
// Post and Quit is called in the loop's own thread.
class TPollLoop {
 public:
  using TClock = std::chrono::steady_clock;
  using TTask = std::function<void()>;
  // A deadline handed out by At; Id 0: none.
  struct TTimer {
    TClock::time_point When;
    std::uint64_t Id = 0;
  };

  // After a wake-up that found a descriptor readable, the loop lets PerWatched for each watched
  // descriptor pass, at most Most, before it looks again: a steady trickle from many lines then
  // costs one wake-up for many of them rather than one each, and a few lines wait next to
  // nothing. What arrives meanwhile waits in the kernel. Read, when set, runs once the tasks of
  // such a wake-up are done, before that pause. Raises std::system_error.
  explicit TPollLoop(std::chrono::microseconds PerWatched = {}, std::chrono::microseconds Most = {}, TTask Read = {});
  ~TPollLoop();
  TPollLoop(const TPollLoop&) = delete;
  TPollLoop& operator=(const TPollLoop&) = delete;

  // Readable runs whenever Fd is readable or closed, until Unwatch. False when the kernel refused it.
  bool Watch(int Fd, TTask Readable);
  void Unwatch(int Fd);
  TTimer At(TClock::time_point When, TTask Due);
  void Cancel(TTimer& Timer);

  // From any thread: Task runs in the loop's thread at its next turn, in the order posted.
  void Post(TTask Task);
  // Runs until Quit; what was posted before the Quit runs first.
  void Run();
  void Quit();

 private:
  int WaitMs() const;
  void RunPosted();
  void RunDue();

  std::chrono::microseconds CoalescePerWatched;
  std::chrono::microseconds MostCoalesce;
  TTask AllRead;
  int Epoll = -1;
  TWakeup Posted;
  std::mutex Lock;  // guards Posts
  std::vector<TTask> Posts;
  bool Quitting = false;  // the loop thread's own
  std::unordered_map<int, TTask> Watched;
  std::map<std::pair<TClock::time_point, std::uint64_t>, TTask> Timers;
  std::uint64_t LastTimerId = 0;
};
