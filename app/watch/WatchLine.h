#pragma once

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "BackOff.h"
#include "LiveEventWriter.h"
#include "LogDatabase.h"
#include "PassObserver.h"
#include "PollLoop.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "ReadersTable.h"
#include "VisitJournal.h"
#include "WatchLines.h"

class QThread;

// The watch's waits. Tests may shorten them; the product sets only CollectMinutes.
struct TWatchTimings {
  int CollectMinutes = 60;      // the reader pass, again this long after the last one
  int FirstRetryMs = TBackOff::FirstMs;  // after a failed connect or a drop, doubling up to LongestRetryMs
  int LongestRetryMs = TBackOff::LongestMs;
  int EchoWaitMs = 10000;       // a heartbeat unanswered this long means the line is gone
  int DrainQuietMs = 50;        // the quiet before each command of a pass
  int ReplyWaitMs = 3000;       // for each reply of a pass
  int FileRetryMs = 250;        // between tries of a live event while another program holds logs.mdb
  int RescanMs = 5000;          // between looks at the table readers for rows added, changed or removed
};

// One reader under watch, with its own connection. While idle it belongs to the watch's loop:
// live card events go to the writer as they come, a heartbeat keeps the quiet line, and a line
// that drops waits a growing while before its next connect. Its connect and its reader pass run
// in a pass thread (see TWatchLoop), the pass on every connect, every CollectMinutes and when
// the reader powers up or asks for its clock; the line is the loop's again once it ends. Its
// pass writes the shared store only inside its write transactions; it is the run's visit, with
// a running row from StartRow as it starts. Each pass's end, and each loss of the line as a visit
// line_down, goes to Report, which must only post.
class TWatchLine {
 public:
  // A pass's end, or a loss of the line. Row: the pass's running row, -1 for none. A pass that
  // lost a line already down is part of that outage: it is told only to end its row.
  struct TEnded {
    TVisit Visit;
    qint64 Row = -1;
    bool PartOfOutage = false;
  };
  using TReport = std::function<void(const TEnded&)>;
  // In the pass thread, as a pass starts: its running row, -1 for none.
  using TStartRow = std::function<qint64(const TVisit&)>;
  // The scheduler's side: Due when the line needs its thread for a connect or a pass, Undue
  // when it no longer waits for one.
  struct TScheduler {
    std::function<void(TWatchLine&)> Due;
    std::function<void(TWatchLine&)> Undue;
  };
  // What a turn in a pass thread came to.
  struct TTurn {
    bool ConnectFailed = false;
    bool Connected = false;  // the line was made in this turn
    bool Held = false;       // its live events wait for the file: the pass waits with them
    TVisit Ended;            // the pass's, when neither of those
    QString Failure;
  };

  // Live: where its live events are stored; Store: where its passes store the log. StopFd:
  // readable once the whole watch stops, which ends a pending connect at once. Lines: where its
  // line's state goes for the readers window of another start (none: nowhere).
  TWatchLine(TLogDatabase& Store, TLiveEventWriter& Live, TReaderRow Row, TWatchTimings Timings, TReport Report, TPollLoop& Loop,
             TScheduler Scheduler, int StopFd, TWatchLines* Lines = nullptr, TStartRow StartRow = {});
  TWatchLine(const TWatchLine&) = delete;
  TWatchLine& operator=(const TWatchLine&) = delete;

  const TReaderRow& Row() const { return Reader; }
  // True once a live event could not be stored, or while the last pass could not store its
  // records: what logs.mdb did not take stays on the reader.
  bool StoreFailed() const { return Source.Failed() || LastPassStoreFailed; }
  int LiveEventsStored() const { return Source.Stored(); }
  // False while its first connect has neither failed nor led to a pass: a stop then leaves its
  // reader never reached.
  bool Reached() const { return EverReached; }
  // Events read and stamped and not stored yet: another program's hold on logs.mdb may keep them out.
  int EventsWaiting() const { return Source.Waiting(); }

  // Past this many waiting events, the reader's bytes wait in its socket instead.
  static constexpr int MaxWaitingEvents = 100000;

  // In the loop: the first connect is due.
  void Start();
  // In the loop, as the scheduler hands it to a pass thread: the loop lets go of it.
  void Dispatched();
  // In a pass thread, once the scheduler gives it one: the connect the line needs, then its pass.
  TTurn TakeTurn();
  // In the loop, once that turn ended.
  void TurnEnded(const TTurn& Turn);
  // From any thread: a wait of its pass ends at once, a pass at its next step or page.
  void Stop();
  // From any thread: a pass as soon as the line allows, asked for from the desk; the loop looks
  // within a second.
  void CollectNow() { CollectWanted = true; }
  // In the loop, after Stop: Detached runs once the line is the loop's no more (at once, or
  // when its pass ends). It may then be settled and go, from any one thread.
  void Detach(std::function<void()> Detached);
  // Once detached: the line closes, and its last events are stored or given up.
  TLiveEventWriter::TSource& Closed();

 private:
  using TClock = TPollLoop::TClock;
  enum class TState { Down, Due, Passing, Up, Detached };
  void Listen();
  void Readable();
  void Wake();
  void Evaluate();
  void WakeAt(TClock::time_point When);
  void LeaveLoop();
  void Dropped(const QString& Why);
  TVisit RunPass(QString& Failure);
  void ReportLineDown(const QString& Why);
  void LineWorks();
  void TakeEvent(const TLiveEvent& Event);
  QString Name() const;
  bool Stopping() const { return StopGiven.load(); }

  TLogDatabase& Store;
  TLiveEventWriter& Live;
  TReaderRow Reader;
  TWatchTimings Timings;
  TReport Report;
  TStartRow StartRow;
  TPollLoop& Loop;
  TScheduler Scheduler;
  TLiveEventWriter::TSource Source;
  TReader Link;
  TWatchLines Unshown;  // the lines of a watch whose lines nobody shows
  TLineReport Line;     // the pass's observer: used by whichever thread has the line
  TReaderPass Pass;
  std::atomic<bool> StopGiven{false};
  std::mutex PassThreadLock;
  QThread* PassThread = nullptr;  // while a pass runs: woken by a stop
  std::function<void()> OnDetached;
  std::atomic<bool> LastPassStoreFailed{false};
  std::atomic<bool> CollectWanted{false};
  TState State = TState::Down;
  bool Reading = false;  // its socket is watched
  TPollLoop::TTimer Timer;
  TClock::time_point NextIdleLook;
  TClock::time_point NextPass;
  TClock::time_point ClockAnswered;  // a reader asking again before this gets the pass due anyway
  TClock::time_point NextRecheck;    // while its events wait for the file, or fill the writer
  TBackOff Retry;
  QElapsedTimer UpFor;   // since the line was made; invalid while down
  bool InPass = false;
  bool LineUp = true;    // false from a drop until a pass goes through again
  bool EverReached = false;
  bool PassLostLine = false;  // the line's last loss was a pass's, said in its visit's line
  TVisit Outage;         // the last drop's row, ended once the line is up again
  QElapsedTimer DownFor;
};
