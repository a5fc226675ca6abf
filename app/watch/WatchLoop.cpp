#include "WatchLoop.h"

#include <algorithm>
#include <future>

namespace {

// The writer's spacing of commits: a thousand lines that each send ten events a second then
// wake the loop about 80 times a second rather than 10,000, and hand the writer one batch a
// wake-up, which it commits at once; 64 lines wait 0.6 ms.
constexpr std::chrono::microseconds CoalescePerLine{10};
constexpr std::chrono::microseconds MostCoalesce = TLiveEventWriter::Spacing;

}  // namespace

TWatchLoop::TWatchLoop(TLogDatabase& AStore, TLiveEventWriter& ALive, TWatchTimings ATimings, int PassThreads, TWatchLines* Shown)
    : Store(AStore),
      Live(ALive),
      Timings(ATimings),
      Threads(PassThreads),
      ShownLines(Shown),
      Loop(CoalescePerLine, MostCoalesce, [this] { Live.Release(); }) {
  Passes.setMaxThreadCount(Threads);
  Thread = std::thread([this] { Loop.Run(); });
}

TWatchLoop::~TWatchLoop() {
  StopAll();
}

TWatchLine& TWatchLoop::Add(TReaderRow Row, TWatchLine::TReport Report, TWatchLine::TStartRow StartRow) {
  const TWatchLine::TScheduler scheduler{[this](TWatchLine& Line) { Due(Line); }, [this](TWatchLine& Line) { Undue(Line); }};
  Lines.push_back(std::make_unique<TWatchLine>(Store, Live, std::move(Row), Timings, std::move(Report), Loop, scheduler,
                                               Stopping.Descriptor(), ShownLines, std::move(StartRow)));
  TWatchLine& added = *Lines.back();
  Loop.Post([&added] { added.Start(); });
  return added;
}

TWatchLoop::TRetired TWatchLoop::Retire(TWatchLine& Line) {
  Line.Stop();
  Detach({&Line});
  Live.Settle(Line.Closed());
  const TRetired retired{Line.LiveEventsStored(), Line.StoreFailed()};
  std::erase_if(Lines, [&Line](const std::unique_ptr<TWatchLine>& Kept) { return Kept.get() == &Line; });
  return retired;
}

// The connects under way end at once, the passes at their next step; every line's last events
// then get one try together, so that a held file costs the stop one wait, not one per reader.
void TWatchLoop::StopAll() {
  if (Stopped) return;
  Stopped = true;
  for (const auto& line : Lines) line->Stop();
  Stopping.Give();
  std::vector<TWatchLine*> lines;
  for (const auto& line : Lines) lines.push_back(line.get());
  Detach(lines);
  Passes.waitForDone();
  Loop.Quit();
  Thread.join();
  std::vector<TLiveEventWriter::TSource*> sources;
  for (TWatchLine* line : lines) sources.push_back(&line->Closed());
  Live.Settle(sources);
}

// Returns once each is the loop's no more: a line in a pass is let go when its pass ends.
void TWatchLoop::Detach(const std::vector<TWatchLine*>& Leaving) {
  if (Leaving.empty()) return;
  std::promise<void> detached;
  Loop.Post([&] {
    auto left = std::make_shared<std::size_t>(Leaving.size());
    for (TWatchLine* line : Leaving) {
      line->Detach([&detached, left] {
        if (--*left == 0) detached.set_value();
      });
    }
  });
  detached.get_future().wait();
}

void TWatchLoop::Due(TWatchLine& Line) {
  Waiting.push_back(&Line);
  Dispatch();
}

void TWatchLoop::Undue(TWatchLine& Line) {
  std::erase(Waiting, &Line);
}

// The one place turns are handed out: first due, first served, as many at once as there are
// pass threads.
void TWatchLoop::Dispatch() {
  while (Running < Threads && !Waiting.empty()) {
    TWatchLine* line = Waiting.front();
    Waiting.pop_front();
    line->Dispatched();
    ++Running;
    Passes.start([this, line] {
      const TWatchLine::TTurn turn = line->TakeTurn();
      Loop.Post([this, line, turn] {
        --Running;
        line->TurnEnded(turn);
        Dispatch();
      });
    });
  }
}
