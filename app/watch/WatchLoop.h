#pragma once

#include <QThreadPool>

#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "PollLoop.h"
#include "Wakeup.h"
#include "WatchLine.h"

// Every watched line in one thread, and their connects and passes in a bounded pool of pass
// threads: an idle line costs its socket and nothing else, and a thousand readers wake one
// thread, not a thousand. A line whose pass is due waits its turn on the loop, which keeps
// reading its live events meanwhile; the turns go in the order they fell due. Lines are added
// and retired from one owning thread.
class TWatchLoop {
 public:
  // Live: where live events are stored; Store: where passes store the logs. PassThreads: how
  // many connects and passes run side by side. Lines: where the lines' state goes (none: nowhere).
  TWatchLoop(TLogDatabase& Store, TLiveEventWriter& Live, TWatchTimings Timings, int PassThreads, TWatchLines* Lines = nullptr);
  // Stops every line first.
  ~TWatchLoop();
  TWatchLoop(const TWatchLoop&) = delete;
  TWatchLoop& operator=(const TWatchLoop&) = delete;

  // The line is connected at once. It lives until retired or until the loop goes.
  TWatchLine& Add(TReaderRow Row, TWatchLine::TReport Report, TWatchLine::TStartRow StartRow = {});
  // Stops the line, waits for its pass to end, closes it and settles its live events; it is
  // gone on return. What it stored and whether it failed, as they stood then.
  struct TRetired {
    int LiveStored = 0;
    bool StoreFailed = false;
  };
  TRetired Retire(TWatchLine& Line);
  // Stops every line side by side, ends their passes and the loop's thread, and settles their
  // events at once; the lines stay, for their counts. Once only.
  void StopAll();

 private:
  void Due(TWatchLine& Line);
  void Undue(TWatchLine& Line);
  void Dispatch();
  void Detach(const std::vector<TWatchLine*>& Leaving);

  TLogDatabase& Store;
  TLiveEventWriter& Live;
  TWatchTimings Timings;
  int Threads;
  TWatchLines* ShownLines;
  TWakeup Stopping;  // ends the connects under way
  TPollLoop Loop;
  std::deque<TWatchLine*> Waiting;  // the loop's own: lines whose turn is due, the first first
  int Running = 0;                  // the loop's own: turns in the pass threads
  std::vector<std::unique_ptr<TWatchLine>> Lines;  // the owning thread's
  QThreadPool Passes;
  std::thread Thread;
  bool Stopped = false;
};
