#include "WatchWorker.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>

#include "Clock.h"
#include "Errors.h"
#include "Journal.h"
#include "LiveEvent.h"
#include "PassObserver.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "ReaderVisit.h"
#include "StopToken.h"

namespace {

constexpr int IdleCheckMs = 1000;  // how often an idle line looks whether a heartbeat is due
constexpr qint64 MsPerMinute = 60 * 1000;

QString StoppedDetail() {
  return QStringLiteral("the watch stopped during the pass; the rest stays on the reader");
}

}  // namespace

TWatchWorker::TWatchWorker(TLogDatabase& AStore, TReaderRow ARow, TWatchTimings ATimings, TReport AReport,
                           std::function<void()> AStored)
    : Store(AStore),
      Row(std::move(ARow)),
      Timings(ATimings),
      Report(std::move(AReport)),
      Stored(std::move(AStored)),
      StoreFailures(TPriority::Error, Row.Address + ':' + Row.Port) {
  Thread.reset(QThread::create([this] { Watch(); }));
  Thread->start();
}

TWatchWorker::~TWatchWorker() {
  StopAndWait();
}

void TWatchWorker::StopAndWait() {
  Stop();
  Thread->wait();
}

QString TWatchWorker::Name() const {
  return Row.Address + ':' + Row.Port;
}

void TWatchWorker::Watch() {
  // A line that carries live events is seldom quiet for long: a command waits for a shorter
  // quiet, or every command of a pass would wait out the drain's bound.
  TLinkTimings linkTimings;
  linkTimings.DrainQuietMs = Timings.DrainQuietMs;
  linkTimings.ReplyWaitMs = Timings.ReplyWaitMs;
  TReader link(linkTimings);
  link.SetAddress(Row.Address, Row.Port);
  link.OnCard([this](const TCardEvent& Card) { TakeEvent(Card.CardNo, Card.Stamp, Card.Mode); });
  // A reader that stops answering in mid-pass must not hold a stop for its tries: a reply wait
  // sleeps in this thread's event loop, where the stop wakes it.
  link.StopWaitsWhen([this] { return Stopping.Given(); });
  link.AbandonConnectOn(Stopping.Descriptor());
  QSocketNotifier stopWake(Stopping.Descriptor(), QSocketNotifier::Read);
  QObject::connect(&stopWake, &QSocketNotifier::activated, &stopWake, [&stopWake] { stopWake.setEnabled(false); });
  // A watch has no windows. What a stopped pass had not stored stays on the reader, uncleared,
  // for the next start.
  TPassObserver unseen;
  TReaderPass pass(link, Store, unseen, TStopToken([this] { return Stopping.Given(); }, StoppedDetail()));
  int retryMs = Timings.FirstRetryMs;
  QElapsedTimer upFor;  // since it came up
  while (!Stopping.Given()) {
    QString why;
    PassLostLine = false;
    if (link.Connect()) {
      upFor.start();
      if (Listen(link, pass, why) == TLineEnd::Stopping) break;
      // Only a line that stayed up a while starts the waits afresh: one that drops as soon as
      // it is made keeps them growing.
      if (upFor.elapsed() >= Timings.LongestRetryMs) retryMs = Timings.FirstRetryMs;
    }
    if (why.isEmpty()) why = link.ConnectFailure();
    if (LineUp) {
      // A pass that lost the line said so in its own visit's line: one event, one line.
      if (!PassLostLine) {
        JournalLine(TPriority::Warning, QStringLiteral("%1: line down (%2); connecting again, at first in %3 s, at most every %4 s")
                                            .arg(Name(), why)
                                            .arg(retryMs / 1000.0)
                                            .arg(Timings.LongestRetryMs / 1000.0));
      }
      ReportLineDown(why);
    }
    link.Disconnect();
    AwaitRetry(retryMs);
    retryMs = std::min(retryMs * 2, Timings.LongestRetryMs);
  }
  link.Disconnect();
  AbandonWaiting();
}

// The open line: events as they come, the pass when due or when the reader asks for its clock,
// a heartbeat when idle across a minute. Ends when the line drops or the watch stops. While
// another program holds logs.mdb, events wait in memory and the line is read on, so that each
// is stamped as it arrives; a pass waits for them, and for an echo it would take for a reply.
TWatchWorker::TLineEnd TWatchWorker::Listen(TReader& Link, TReaderPass& Pass, QString& Why) {
  QDeadlineTimer nextPass(0);
  // A reader that keeps asking for its clock once it was set gets it with the pass due anyway:
  // a pass per request would keep it locked, taking no card. A power-up is served at once.
  QDeadlineTimer clockAnswered(0);
  for (;;) {
    if (Stopping.Given()) return TLineEnd::Stopping;
    if (!Waiting.empty() && NextFileTry.hasExpired()) StoreWaiting();
    const bool passHeld = !Waiting.empty() || Link.EchoAwaited();
    const bool clockDue = Link.PoweredUp() || (Link.ClockRequested() && clockAnswered.hasExpired());
    if (!passHeld && (clockDue || nextPass.hasExpired())) {
      QString failure;
      const TVisit ended = RunPass(Link, Pass, failure);
      const TVisitOutcome outcome = ended.Outcome;
      if (ended.ClockSet) clockAnswered.setRemainingTime(Timings.CollectMinutes * MsPerMinute);
      if (MeaningOf(outcome).LineLost || outcome == TVisitOutcome::Interrupted) {
        Why = QStringLiteral("the pass failed: ") + failure;
        PassLostLine = true;
        return Stopping.Given() ? TLineEnd::Stopping : TLineEnd::Dropped;
      }
      LineWorks();
      // What a pass could not store is still on the reader: an hour is too long to leave it.
      nextPass.setRemainingTime(outcome == TVisitOutcome::StoreFailed ? qint64{Timings.LongestRetryMs}
                                                                      : Timings.CollectMinutes * MsPerMinute);
      continue;
    }
    qint64 waitMs = passHeld ? IdleCheckMs : std::min<qint64>(IdleCheckMs, nextPass.remainingTime());
    if (Link.EchoAwaited()) waitMs = std::min(waitMs, Link.EchoRemainingMs());
    if (!Waiting.empty()) waitMs = std::min(waitMs, NextFileTry.remainingTime());
    const int socket = Waiting.size() < MaxWaitingEvents ? Link.SocketHandle() : -1;
    switch (Stopping.Wait(static_cast<int>(std::max<qint64>(0, waitMs)), socket)) {
      case TWakeup::TWaitEnd::Woken: return TLineEnd::Stopping;
      case TWakeup::TWaitEnd::Timeout:
        // Only once the line is quiet: an echo held up behind a slow store is still in the socket.
        if (Link.EchoOverdue()) {
          Why = QStringLiteral("no answer to a heartbeat in %1 s").arg(Timings.EchoWaitMs / 1000.0);
          return TLineEnd::Dropped;
        }
        Link.KeepAlive(Timings.EchoWaitMs);
        break;
      case TWakeup::TWaitEnd::Readable:
        if (!Link.TakeIncoming()) {
          Why = QStringLiteral("the reader closed the line");
          return TLineEnd::Dropped;
        }
        break;
    }
  }
}

// A pass that finds the line lost again, in an outage already said, is part of that outage: its
// row and line would only repeat the outage's, once a cycle.
TVisit TWatchWorker::RunPass(TReader& Link, TReaderPass& Pass, QString& Failure) {
  TVisit visit;
  visit.Address = Row.Address;
  visit.Port = Row.Port;
  visit.Started = Now();
  TVisit ended;
  try {
    Pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter});
    ended = Pass.VisitOf(visit);
  } catch (const std::exception& Error) {
    ended = FailedVisit(visit, Error);
  }
  // The stop may have cut a reply wait or a reconnect short before the pass's next step: what
  // the pass took for the reader's failure was the watch's own.
  if (Stopping.Given() && ended.Outcome != TVisitOutcome::Done && ended.Outcome != TVisitOutcome::StoreFailed) {
    ended.Outcome = TVisitOutcome::Interrupted;
    ended.Detail = StoppedDetail();
  }
  // A pass that failed on the disk leaves the reader locked, and a locked reader takes no card:
  // the watch must have it back.
  if (ended.Outcome == TVisitOutcome::StoreFailed) (void)Link.Lock(false);
  ended.Started = visit.Started;
  ended.Ended = Now();
  if (ended.Outcome != TVisitOutcome::Interrupted) LastPassStoreFailed = ended.Outcome == TVisitOutcome::StoreFailed;
  Failure = ended.Detail;
  ended.AddLiveEvents(LiveSincePass);
  LiveSincePass = 0;
  if (LineUp || !MeaningOf(ended.Outcome).LineLost) Report(ended);
  return ended;
}

// The journal keeps the outage as a visit of its own, so the check sees a line that is down
// now rather than a pass that was fine an hour ago.
void TWatchWorker::ReportLineDown(const QString& Why) {
  Outage = {};
  Outage.Address = Row.Address;
  Outage.Port = Row.Port;
  Outage.Outcome = TVisitOutcome::LineDown;
  Outage.Detail = Why;
  Outage.Started = Outage.Ended = Now();
  DownFor.start();
  LineUp = false;
  Report(Outage);
}

// Only a line a pass went through is up: one a reader accepts but never answers on stays down.
// The outage's row then says how long it lasted.
void TWatchWorker::LineWorks() {
  if (LineUp) return;
  LineUp = true;
  const qint64 seconds = DownFor.elapsed() / 1000;
  JournalLine(TPriority::Info, QStringLiteral("%1: line up again after %2 s").arg(Name()).arg(seconds));
  Outage.Ended = Now();
  Outage.Detail += QStringLiteral("; up again after %1 s").arg(seconds);
  Report(Outage);
}

void TWatchWorker::TakeEvent(int CardNo, TDateTime Stamp, std::int8_t Mode) {
  Waiting.push_back({CardNo, Stamp, Mode});
  ++WaitingCount;
  if (NextFileTry.hasExpired()) StoreWaiting();
}

// In the order they came, until another program's hold keeps them out: they are tried again
// after a short wait. An event the file fails to take for another reason (a full or failing
// disk) is left to the reader's log.
void TWatchWorker::StoreWaiting() {
  while (!Waiting.empty()) {
    try {
      if (!StoreEvent(Waiting.front())) {
        NextFileTry.setRemainingTime(Timings.FileRetryMs);
        return;
      }
    } catch (const EDatabaseError& Error) {
      LiveStoreFailed = true;
      StoreFailures.Occurred(QStringLiteral("live events not stored (%1); they stay in the reader's log")
                                 .arg(QString::fromLocal8Bit(Error.what())));
    }
    Waiting.pop_front();
    --WaitingCount;
  }
}

// The events read before the line went down are stored meanwhile, as soon as the file takes them.
void TWatchWorker::AwaitRetry(int RetryMs) {
  QDeadlineTimer retry(RetryMs);
  while (!retry.hasExpired() && !Waiting.empty()) {
    const qint64 sliceMs = std::min(retry.remainingTime(), NextFileTry.remainingTime());
    if (Stopping.Wait(static_cast<int>(std::max<qint64>(0, sliceMs))) == TWakeup::TWaitEnd::Woken) return;
    StoreWaiting();
  }
  Stopping.Wait(static_cast<int>(std::max<qint64>(0, retry.remainingTime())));
}

// One last try first: the hold may have ended since the last, and the file is free.
void TWatchWorker::AbandonWaiting() {
  StoreWaiting();
  if (Waiting.empty()) return;
  LiveStoreFailed = true;
  JournalLine(TPriority::Error, QStringLiteral("%1: %2 live events not stored: logs.mdb had not taken them when the watch "
                                               "stopped; they stay in the reader's log")
                                    .arg(Name())
                                    .arg(Waiting.size()));
  Waiting.clear();
  WaitingCount = 0;
}

// False while another program holds the file.
bool TWatchWorker::StoreEvent(const TLiveEvent& Event) {
  TLiveStored stored;
  try {
    stored = StoreLiveEvent(Store, Event, Row.Address, Row.Download);
  } catch (const EStoreTurnBusy&) {
    return false;  // another worker's turn: it says so if another program holds the file
  } catch (const EDatabaseBusy& Error) {
    if (!AwaitingFile) {
      JournalLine(TPriority::Warning, QStringLiteral("%1: logs.mdb is held by another program (%2); live events wait for it")
                                          .arg(Name(), QString::fromLocal8Bit(Error.what())));
    }
    AwaitingFile = true;
    return false;
  }
  if (AwaitingFile) JournalLine(TPriority::Info, QStringLiteral("%1: logs.mdb free again; live events stored").arg(Name()));
  AwaitingFile = false;
  StoreFailures.Ended(QStringLiteral("live events are stored again; those not stored stay in the reader's log"));
  switch (stored) {
    case TLiveStored::Added:
      ++LiveAdded;
      ++LiveSincePass;
      if (Stored) Stored();
      break;
    case TLiveStored::Duplicate: break;
    case TLiveStored::Invalid:
      JournalLine(TPriority::Warning, QStringLiteral("%1: live event of card %2 without a valid time; its record is left to the log")
                                          .arg(Name())
                                          .arg(Event.CardNo));
      break;
  }
  return true;
}
