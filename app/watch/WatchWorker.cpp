#include "WatchWorker.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>

#include "Clock.h"
#include "Journal.h"
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

TWatchWorker::TWatchWorker(TLogDatabase& AStore, TLiveEventWriter& ALive, TReaderRow ARow, TWatchTimings ATimings, TReport AReport,
                           TWatchLines* Lines)
    : Store(AStore),
      Live(ALive),
      Row(std::move(ARow)),
      Timings(ATimings),
      Report(std::move(AReport)),
      Source(Row.Address + ':' + Row.Port, Row.Address, Row.Download),
      Line(Lines != nullptr ? *Lines : Unshown, Row.Address, Row.Port) {
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
  link.OnCard([this, &link](const TCardEvent& Card) { TakeEvent({Card.CardNo, Card.Stamp, Card.Mode, link.Identity()}); });
  // A reader that stops answering in mid-pass must not hold a stop for its tries: a reply wait
  // sleeps in this thread's event loop, where the stop wakes it.
  link.StopWaitsWhen([this] { return Stopping.Given(); });
  link.AbandonConnectOn(Stopping.Descriptor());
  QSocketNotifier stopWake(Stopping.Descriptor(), QSocketNotifier::Read);
  QObject::connect(&stopWake, &QSocketNotifier::activated, &stopWake, [&stopWake] { stopWake.setEnabled(false); });
  // What a stopped pass had not stored stays on the reader, uncleared, for the next start.
  TReaderPass pass(link, Store, Line, TStopToken([this] { return Stopping.Given(); }, StoppedDetail()));
  pass.ResumeKeptLogs();
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
    if (Stopping.Wait(retryMs) == TWakeup::TWaitEnd::Woken) break;
    retryMs = std::min(retryMs * 2, Timings.LongestRetryMs);
  }
  link.Disconnect();
  Live.Settle(Source);
}

// The open line: events as they come, the pass when due or when the reader asks for its clock,
// a heartbeat when idle across a minute. Ends when the line drops or the watch stops. While
// another program holds logs.mdb, events wait in the writer and the line is read on, so that
// each is stamped as it arrives; a pass waits for them, and for an echo it would take for a reply.
TWatchWorker::TLineEnd TWatchWorker::Listen(TReader& Link, TReaderPass& Pass, QString& Why) {
  QDeadlineTimer nextPass(0);
  // A reader that keeps asking for its clock once it was set gets it with the pass due anyway:
  // a pass per request would keep it locked, taking no card. A power-up is served at once.
  QDeadlineTimer clockAnswered(0);
  for (;;) {
    if (Stopping.Given()) return TLineEnd::Stopping;
    const bool clockDue = Link.PoweredUp() || (Link.ClockRequested() && clockAnswered.hasExpired());
    const bool passDue = clockDue || nextPass.hasExpired() || CollectWanted;
    if (passDue && Source.Waiting() > 0) Live.Flush(Source);
    const bool eventsHeld = Source.Waiting() > 0;
    const bool passHeld = eventsHeld || Link.EchoAwaited();
    if (!passHeld && passDue) {
      CollectWanted = false;
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
    if (passDue && eventsHeld) waitMs = std::min<qint64>(waitMs, Timings.FileRetryMs);
    const int socket = Source.Waiting() < MaxWaitingEvents ? Link.SocketHandle() : -1;
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
  InPass = true;
  try {
    Pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter});
    ended = Pass.VisitOf(visit);
  } catch (const std::exception& Error) {
    ended = FailedVisit(visit, Error);
  }
  InPass = false;
  Line.PassEnded();
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
  ended.AddLiveEvents(Source.TakeStoredSince());
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
  Line.Down();
  Report(Outage);
}

// Only a line a pass went through is up: one a reader accepts but never answers on stays down.
// The outage's row then says how long it lasted.
void TWatchWorker::LineWorks() {
  Line.Up();
  if (LineUp) return;
  LineUp = true;
  const qint64 seconds = DownFor.elapsed() / 1000;
  JournalLine(TPriority::Info, QStringLiteral("%1: line up again after %2 s").arg(Name()).arg(seconds));
  Outage.Ended = Now();
  Outage.Detail += QStringLiteral("; up again after %1 s").arg(seconds);
  Report(Outage);
}

// An event read in a pass is committed before the pass goes on: a page it stores next may hold
// the event's log copy, which must find the event's row to take it over.
void TWatchWorker::TakeEvent(TLiveEvent Event) {
  Live.Submit(Source, std::move(Event));
  if (InPass) Live.Flush(Source);
}
