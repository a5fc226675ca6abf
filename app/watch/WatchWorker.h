#pragma once

#include <QString>

#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <memory>

#include "LiveEventWriter.h"
#include "LogDatabase.h"
#include "WatchLines.h"
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
  int ReplyWaitMs = 3000;       // for each reply of a pass
  int FileRetryMs = 250;        // between tries of a live event while another program holds logs.mdb
  int RescanMs = 5000;          // between looks at the table readers for rows added, changed or removed
};

// One reader under watch, in a thread of its own with its own connection: live card events go
// to the writer as they come, the reader pass runs on every connect and every CollectMinutes,
// and a line that drops is connected again after a growing wait. Its pass writes the shared
// store only inside its write transactions. Each pass's end, and each loss of the line as a
// visit line_down, goes to Report, called in the worker's thread, which must only post. The
// thread is stopped and joined when the worker goes.
class TWatchWorker {
 public:
  using TReport = std::function<void(const TVisit&)>;
  // Live: where its live events are stored; Store: where its passes store the log; Lines: where
  // its line's state goes for the readers window of another start (none: nowhere).
  TWatchWorker(TLogDatabase& Store, TLiveEventWriter& Live, TReaderRow Row, TWatchTimings Timings, TReport Report,
               TWatchLines* Lines = nullptr);
  ~TWatchWorker();
  TWatchWorker(const TWatchWorker&) = delete;
  TWatchWorker& operator=(const TWatchWorker&) = delete;

  // Asks the worker to end: a wait ends at once, a pass at its next step or page.
  void Stop() { Stopping.Give(); }
  // Stops it and returns once its thread has ended: nothing it counts changes after.
  void StopAndWait();
  // A pass as soon as the line allows, asked for from the desk: within a second on a line that is up.
  void CollectNow() { CollectWanted = true; }
  // True once a live event could not be stored, or while the last pass could not store its
  // records: what logs.mdb did not take stays on the reader.
  bool StoreFailed() const { return Source.Failed() || LastPassStoreFailed; }
  int LiveEventsStored() const { return Source.Stored(); }
  // Events read and stamped and not stored yet: another program's hold on logs.mdb may keep them out.
  int EventsWaiting() const { return Source.Waiting(); }

  // Past this many waiting events, the reader's bytes wait in its socket instead.
  static constexpr int MaxWaitingEvents = 100000;

 private:
  enum class TLineEnd { Dropped, Stopping };
  void Watch();
  TLineEnd Listen(TReader& Link, TReaderPass& Pass, QString& Why);
  // Failure: why it failed, for the line down it may bring.
  TVisit RunPass(TReader& Link, TReaderPass& Pass, QString& Failure);
  void ReportLineDown(const QString& Why);
  void LineWorks();
  void TakeEvent(TLiveEvent Event);
  QString Name() const;

  TLogDatabase& Store;
  TLiveEventWriter& Live;
  TReaderRow Row;
  TWatchTimings Timings;
  TReport Report;
  TLiveEventWriter::TSource Source;
  TWakeup Stopping;
  std::atomic<bool> LastPassStoreFailed{false};
  std::atomic<bool> CollectWanted{false};
  TWatchLines Unshown;  // the lines of a worker whose line nobody shows
  TLineReport Line;     // used in the worker's thread once it runs
  bool InPass = false;
  bool LineUp = true;    // false from a drop until a pass goes through again
  bool PassLostLine = false;  // the line's last loss was a pass's, said in its visit's line
  TVisit Outage;         // the last drop's row, ended once the line is up again
  QElapsedTimer DownFor;
  std::unique_ptr<QThread> Thread;
};
