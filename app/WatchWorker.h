#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include "LogDatabase.h"
#include "VisitJournal.h"
#include "Wakeup.h"

class QThread;
class TReader;
class TReaderPass;

// The watch's waits. Tests may shorten them; the product sets only CollectMinutes.
struct TWatchTimings {
  int CollectMinutes = 60;      // the reader pass, again this long after the last one
  int FirstRetryMs = 1000;      // after a failed connect or a drop, doubling up to LongestRetryMs
  int LongestRetryMs = 60000;
  int EchoWaitMs = 10000;       // a heartbeat unanswered this long means the line is gone
  int DrainQuietMs = 50;        // the quiet before each command of a pass
};

// One reader under watch, in a thread of its own with its own connection: live card events are
// stored as they come, the reader pass runs on every connect and every CollectMinutes, and a
// line that drops is connected again after a growing wait. It touches only the shared store,
// written only inside its write transactions; each pass's end goes to PassEnded, called in the
// worker's thread, which must only post. The thread is stopped and joined when the worker goes.
class TWatchWorker {
 public:
  using TPassEnded = std::function<void(const TVisit&)>;
  TWatchWorker(TLogDatabase& Store, TReaderRow Row, TWatchTimings Timings, TPassEnded PassEnded);
  ~TWatchWorker();
  TWatchWorker(const TWatchWorker&) = delete;
  TWatchWorker& operator=(const TWatchWorker&) = delete;

  // Asks the worker to end: a wait ends at once, a pass at its next step or record.
  void Stop() { Stopping.Give(); }
  // Stops it and returns once its thread has ended: nothing it counts changes after.
  void StopAndWait();
  // True once a live event could not be stored: logs.mdb is failing.
  bool StoreFailed() const { return LiveStoreFailed; }
  int LiveEventsStored() const { return LiveAdded; }

 private:
  enum class TLineEnd { Dropped, Stopping };
  void Watch();
  TLineEnd Listen(TReader& Reader, TReaderPass& Pass, QString& Why);
  bool RunPass(TReader& Reader, TReaderPass& Pass);
  void TakeEvent(int CardNo, TDateTime Stamp, std::int8_t Mode);
  QString Name() const;

  TLogDatabase& Store;
  TReaderRow Row;
  TWatchTimings Timings;
  TPassEnded PassEnded;
  TWakeup Stopping;
  std::atomic<bool> LiveStoreFailed{false};
  std::atomic<int> LiveAdded{0};
  int LiveSincePass = 0;
  std::unique_ptr<QThread> Thread;
};
