#include "WatchLine.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Clock.h"
#include "Journal.h"
#include "ReaderVisit.h"
#include "StopToken.h"

namespace {

constexpr std::chrono::milliseconds IdleLook{1000};  // how often an idle line looks whether a heartbeat is due

QString StoppedDetail() {
  return QStringLiteral("the watch stopped during the pass; the rest stays on the reader");
}

// A line that carries live events is seldom quiet for long: a command waits for a shorter
// quiet, or every command of a pass would wait out the drain's bound.
TLinkTimings LinkTimingsOf(const TWatchTimings& Timings) {
  TLinkTimings link;
  link.DrainQuietMs = Timings.DrainQuietMs;
  link.ReplyWaitMs = Timings.ReplyWaitMs;
  return link;
}

}  // namespace

TWatchLine::TWatchLine(TLogDatabase& AStore, TLiveEventWriter& ALive, TReaderRow ARow, TWatchTimings ATimings, TReport AReport,
                       TPollLoop& ALoop, TScheduler AScheduler, int StopFd, TWatchLines* ALines, TStartRow AStartRow)
    : Store(AStore),
      Live(ALive),
      Reader(std::move(ARow)),
      Timings(ATimings),
      Report(std::move(AReport)),
      StartRow(std::move(AStartRow)),
      Loop(ALoop),
      Scheduler(std::move(AScheduler)),
      Source(Reader.Address + ':' + Reader.Port, Reader.Address, Reader.Download),
      Link(LinkTimingsOf(Timings)),
      Line(ALines != nullptr ? *ALines : Unshown, Reader.Address, Reader.Port),
      // What a stopped pass had not stored stays on the reader, uncleared, for the next start.
      Pass(Link, Store, Line, TStopToken([this] { return Stopping(); }, StoppedDetail())),
      Retry(Timings.FirstRetryMs, Timings.LongestRetryMs) {
  Pass.ResumeKeptLogs();
  Link.SetAddress(Reader.Address, Reader.Port);
  Link.OnCard([this](const TCardEvent& Card) { TakeEvent({Card.CardNo, Card.Stamp, Card.Mode, Link.Identity()}); });
  // A reader that stops answering in mid-pass must not hold a stop for its tries: a reply wait
  // sleeps in its pass thread's event loop, which the stop wakes.
  Link.StopWaitsWhen([this] { return Stopping(); });
  Link.AbandonConnectOn(StopFd);
}

QString TWatchLine::Name() const {
  return Reader.Address + ':' + Reader.Port;
}

void TWatchLine::Start() {
  State = TState::Due;
  Scheduler.Due(*this);
}

void TWatchLine::Stop() {
  StopGiven = true;
  const std::lock_guard guard(PassThreadLock);
  if (PassThread == nullptr) return;
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(PassThread)) dispatcher->wakeUp();
}

void TWatchLine::Detach(std::function<void()> Detached) {
  if (State == TState::Passing) {
    OnDetached = std::move(Detached);
    return;
  }
  LeaveLoop();
  State = TState::Detached;
  Detached();
}

TLiveEventWriter::TSource& TWatchLine::Closed() {
  Link.Disconnect();
  return Source;
}

void TWatchLine::Dispatched() {
  State = TState::Passing;
  LeaveLoop();
}

// A line whose events wait for the file keeps its pass waiting too: a page it stores may hold an
// event's log copy, which must find the event's row.
TWatchLine::TTurn TWatchLine::TakeTurn() {
  {
    const std::lock_guard guard(PassThreadLock);
    PassThread = QThread::currentThread();
  }
  TTurn turn;
  if (!Link.Connected() && !Stopping()) {
    turn.Connected = Link.Connect();
    turn.ConnectFailed = !turn.Connected;
    if (turn.ConnectFailed) turn.Failure = Link.ConnectFailure();
    if (turn.Connected) {
      UpFor.start();
      NextPass = ClockAnswered = {};
    }
  }
  if (Link.Connected() && !Stopping()) {
    if (Source.Waiting() > 0) Live.Flush(Source);
    turn.Held = Source.Waiting() > 0;
    if (!turn.Held) turn.Ended = RunPass(turn.Failure);
  }
  const std::lock_guard guard(PassThreadLock);
  PassThread = nullptr;
  return turn;
}

void TWatchLine::TurnEnded(const TTurn& Turn) {
  if (Stopping()) {
    State = TState::Down;
    if (OnDetached) Detach(std::exchange(OnDetached, {}));
    return;
  }
  if (Turn.ConnectFailed) {
    Dropped(Turn.Failure);
    return;
  }
  const auto now = TClock::now();
  if (Turn.Held) {
    NextRecheck = now + std::chrono::milliseconds(Timings.FileRetryMs);
    Listen();
    return;
  }
  const TVisitOutcome outcome = Turn.Ended.Outcome;
  if (Turn.Ended.ClockSet) ClockAnswered = now + std::chrono::minutes(Timings.CollectMinutes);
  if (MeaningOf(outcome).LineLost || outcome == TVisitOutcome::Interrupted) {
    PassLostLine = true;
    Dropped(QStringLiteral("the pass failed: ") + Turn.Failure);
    return;
  }
  LineWorks();
  // What a pass could not store is still on the reader: an hour is too long to leave it.
  NextPass = now + (outcome == TVisitOutcome::StoreFailed ? std::chrono::milliseconds(Timings.LongestRetryMs)
                                                          : std::chrono::minutes(Timings.CollectMinutes));
  Listen();
}

void TWatchLine::Listen() {
  State = TState::Up;
  NextIdleLook = TClock::now() + IdleLook;
  Evaluate();
}

void TWatchLine::Readable() {
  if (!Link.TakeIncoming()) {
    Dropped(QStringLiteral("the reader closed the line"));
    return;
  }
  Evaluate();
}

// Only once the line is quiet: an echo held up behind a slow store is still in the socket, and
// the loop takes what is readable before it looks at the deadlines.
void TWatchLine::Wake() {
  Timer = {};
  if (State == TState::Down) {
    Start();
    return;
  }
  if (Link.EchoOverdue()) {
    Dropped(QStringLiteral("no answer to a heartbeat in %1 s").arg(Timings.EchoWaitMs / 1000.0));
    return;
  }
  const auto now = TClock::now();
  if (now >= NextIdleLook) {
    NextIdleLook = now + IdleLook;
    // A line waiting for its pass thread needs no heartbeat: the pass talks to the reader, and
    // an echo would be taken for a reply.
    if (State == TState::Up) Link.KeepAlive(Timings.EchoWaitMs);
  }
  Evaluate();
}

// The open line: the pass when due or when the reader asks for its clock, unless events wait
// for the file or an echo is awaited (it would be taken for a reply); the socket read while
// the events waiting stay below the bound.
void TWatchLine::Evaluate() {
  if ((State != TState::Up && State != TState::Due) || !Link.Connected()) return;
  const auto now = TClock::now();
  const int waiting = Source.Waiting();
  if (Reading && waiting >= MaxWaitingEvents) {
    Loop.Unwatch(Link.SocketHandle());
    Reading = false;
  } else if (!Reading && waiting < MaxWaitingEvents) {
    Reading = Loop.Watch(Link.SocketHandle(), [this] { Readable(); });
    if (!Reading) {
      Dropped(QStringLiteral("the line cannot be watched: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
      return;
    }
  }
  auto wake = NextIdleLook;
  if (Link.EchoAwaited()) wake = std::min(wake, now + std::chrono::milliseconds(Link.EchoRemainingMs()));
  bool recheck = !Reading;
  if (State == TState::Up) {
    const bool clockDue = Link.PoweredUp() || (Link.ClockRequested() && now >= ClockAnswered);
    const bool passDue = clockDue || now >= NextPass || CollectWanted;
    const bool held = waiting > 0 || Link.EchoAwaited();
    if (passDue && !held) {
      CollectWanted = false;
      State = TState::Due;
      Scheduler.Due(*this);  // which may hand it to a pass thread at once: not the loop's to touch then
      return;
    }
    if (!held) {
      wake = std::min(wake, NextPass);
    }
    recheck = recheck || (passDue && waiting > 0);
  }
  if (recheck) {
    if (NextRecheck <= now) NextRecheck = now + std::chrono::milliseconds(Timings.FileRetryMs);
    wake = std::min(wake, NextRecheck);
  }
  WakeAt(wake);
}

// A deadline that moved later only wakes the line early, once: not worth a new timer per byte.
void TWatchLine::WakeAt(TClock::time_point When) {
  if (Timer.Id != 0 && Timer.When <= When) return;
  Loop.Cancel(Timer);
  Timer = Loop.At(When, [this] { Wake(); });
}

void TWatchLine::LeaveLoop() {
  if (Reading) Loop.Unwatch(Link.SocketHandle());
  Reading = false;
  Loop.Cancel(Timer);
  if (State == TState::Due) Scheduler.Undue(*this);
}

// Only a line that stayed up a while starts the waits afresh: one that drops as soon as it is
// made keeps them growing.
void TWatchLine::Dropped(const QString& Why) {
  LeaveLoop();
  if (UpFor.isValid() && UpFor.elapsed() >= Timings.LongestRetryMs) Retry.Reset();
  UpFor.invalidate();
  const int retryMs = Retry.Failed();
  if (LineUp) {
    // A pass that lost the line said so in its own visit's line: one event, one line.
    if (!PassLostLine) {
      JournalLine(TPriority::Warning, QStringLiteral("%1: line down (%2); connecting again, at first in %3 s, at most every %4 s")
                                          .arg(Name(), Why)
                                          .arg(retryMs / 1000.0)
                                          .arg(Timings.LongestRetryMs / 1000.0));
    }
    ReportLineDown(Why);
  }
  PassLostLine = false;
  Link.Disconnect();
  State = TState::Down;
  WakeAt(TClock::now() + std::chrono::milliseconds(retryMs));
}

// A pass that finds the line lost again, in an outage already said, is part of that outage: its
// row and line would only repeat the outage's, once a cycle.
TVisit TWatchLine::RunPass(QString& Failure) {
  TVisit visit;
  visit.Address = Reader.Address;
  visit.Port = Reader.Port;
  visit.Started = Now();
  const qint64 row = StartRow ? StartRow(visit) : -1;
  EverReached = true;
  InPass = true;
  TVisit ended = VisitReader(Pass, Link, Reader, visit, row, TVisitor::Watch).Visit;
  InPass = false;
  Line.PassEnded();
  if (ended.Outcome != TVisitOutcome::Interrupted) LastPassStoreFailed = ended.Outcome == TVisitOutcome::StoreFailed;
  Failure = ended.Detail;
  ended.AddLiveEvents(Source.TakeStoredSince());
  const bool partOfOutage = !LineUp && MeaningOf(ended.Outcome).LineLost;
  if (!partOfOutage || row >= 0) Report({ended, row, partOfOutage});
  return ended;
}

// The journal keeps the outage as a visit of its own, so the check sees a line that is down
// now rather than a pass that was fine an hour ago.
void TWatchLine::ReportLineDown(const QString& Why) {
  Outage = {};
  Outage.Address = Reader.Address;
  Outage.Port = Reader.Port;
  Outage.Outcome = TVisitOutcome::LineDown;
  Outage.Detail = Why;
  Outage.Started = Outage.Ended = Now();
  EverReached = true;
  DownFor.start();
  LineUp = false;
  Line.Down();
  Report({Outage});
}

// Only a line a pass went through is up: one a reader accepts but never answers on stays down.
// The outage's row then says how long it lasted.
void TWatchLine::LineWorks() {
  Line.Up();
  if (LineUp) return;
  LineUp = true;
  const qint64 seconds = DownFor.elapsed() / 1000;
  JournalLine(TPriority::Info, QStringLiteral("%1: line up again after %2 s").arg(Name()).arg(seconds));
  Outage.Ended = Now();
  Outage.Detail += QStringLiteral("; up again after %1 s").arg(seconds);
  Report({Outage});
}

// An event read in a pass is committed before the pass goes on: a page it stores next may hold
// the event's log copy, which must find the event's row to take it over.
void TWatchLine::TakeEvent(const TLiveEvent& Event) {
  Live.Submit(Source, Event);
  if (InPass) Live.Flush(Source);
}
