#include "Forwarding.h"

#include <QElapsedTimer>
#include <QThread>

#include <exception>
#include <utility>

namespace {

constexpr qint64 KeepIdleLinkMs = 60000;
const QString StaysForNextRun = QStringLiteral("the rest stays in logs.mdb for the next run");

// The <3> line for rows the server refused, when there are any; whether there were.
bool SayRowsSetAside(const TForwardProgress& Progress) {
  if (Progress.SetAside == 0) return false;
  JournalLine(TPriority::Error,
              QStringLiteral("%1 rows were refused by %2 and set aside: see the table forwarding_rejected in logs.mdb")
                  .arg(Progress.SetAside)
                  .arg(Progress.Target));
  return true;
}

}  // namespace

QString ForwardFailed(const TForwardProgress& Progress, const QString& Why, const QString& Then) {
  if (Progress.Target.isEmpty()) return QStringLiteral("forwarding failed: %1; %2").arg(Why, Then);
  return QStringLiteral("forwarding to %1 failed after %2 records and %3 visits: %4; %5")
      .arg(Progress.Target)
      .arg(Progress.Records)
      .arg(Progress.Visits)
      .arg(Why, Then);
}

TExitStatus ExitStatusOf(TForwardEnd End) {
  switch (End) {
    case TForwardEnd::Sent:
    case TForwardEnd::Stopped:
    case TForwardEnd::Outage: return TExitStatus::Ok;
    case TForwardEnd::Refused: return TExitStatus::ForwardRefused;
    case TForwardEnd::LocalFailure: return TExitStatus::StoreFailed;
  }
  return TExitStatus::ForwardRefused;
}

TPriority PriorityOf(TForwardEnd Failed) {
  return Failed == TForwardEnd::Outage ? TPriority::Warning : TPriority::Error;
}

TRunForwarding::TRunForwarding(QString DatabaseFile, TRunOptions AOptions, bool AtOnce, int BusyTimeoutMs)
    : File(std::move(DatabaseFile)), Options(std::move(AOptions)), StartAtOnce(AtOnce), BusyMs(BusyTimeoutMs) {
  Thread.reset(QThread::create([this] { Forward(); }));
  Thread->start();
}

TRunForwarding::~TRunForwarding() {
  Stopping.Give();
  Thread->wait();
  if (Said) return;
  // A forward that had failed by itself is said as it would have been after the readers.
  if (End != TForwardEnd::Sent) {
    Say();
    return;
  }
  if (Done.Records + Done.Visits == 0) return;
  JournalLine(TPriority::Info, Forwarded() + QStringLiteral(" before the run stopped; ") + StaysForNextRun);
}

TForwardEnd TRunForwarding::Finish() {
  Collected.Give();
  Thread->wait();
  return Say();
}

// Nothing may leave a thread's function.
void TRunForwarding::Forward() {
  try {
    ForwardRounds();
  } catch (const std::exception&) {
    Fail(FailureOf(std::current_exception()), {});
  }
}

// logs.mdb is opened here: a Qt connection serves only the thread that opened it.
void TRunForwarding::ForwardRounds() {
  TLogDatabase db(BusyMs);
  db.OpenDatabase(File);
  const auto newForwarder = [&] {
    return std::make_unique<TForwarder>(db.Connection(), Options.ForwardUrl, Options.Site, TForwardLimits{}, Stopping.Descriptor());
  };
  std::unique_ptr<TForwarder> forwarder = newForwarder();
  QElapsedTimer sinceFirst;
  if (StartAtOnce) {
    Attempt(*forwarder);
    // A failure is not tried again within the run: an outage would cost its wait twice.
    if (End != TForwardEnd::Sent) return;
    sinceFirst.start();
  }
  if (Stopping.Wait(-1, Collected.Descriptor()) == TWakeup::TWaitEnd::Woken) return;
  // A link left idle through a long pass may have been dropped on the way without a word, which
  // only a call's deadline would tell: a new one costs a few milliseconds.
  if (sinceFirst.isValid() && sinceFirst.hasExpired(KeepIdleLinkMs)) forwarder = newForwarder();
  Attempt(*forwarder);
}

void TRunForwarding::Attempt(TForwarder& Forwarder) {
  try {
    Forwarder.Run();
  } catch (const std::exception&) {
    Fail(FailureOf(std::current_exception()), Forwarder.Progress());
    return;
  }
  Add(Forwarder.Progress());
}

// Our own stop is no failure: what was sent by then is said alone.
void TRunForwarding::Fail(const TForwardFailure& Failure, const TForwardProgress& Partial) {
  Add(Partial);
  if (Failure.End == TForwardEnd::Stopped) return;
  End = Failure.End;
  Why = Failure.Why;
}

void TRunForwarding::Add(const TForwardProgress& Round) {
  if (!Round.Target.isEmpty()) Done.Target = Round.Target;
  Done.Records += Round.Records;
  Done.Visits += Round.Visits;
  Done.SetAside += Round.SetAside;
}

TForwardEnd TRunForwarding::Say() {
  Said = true;
  if (End != TForwardEnd::Sent) {
    JournalLine(PriorityOf(End), ForwardFailed(Done, Why, StaysForNextRun));
    return End;
  }
  JournalLine(TPriority::Info, Forwarded());
  return SayRowsSetAside(Done) ? TForwardEnd::Refused : TForwardEnd::Sent;
}

QString TRunForwarding::Forwarded() const {
  return QStringLiteral("forwarded %1 records and %2 visits to %3 as site %4")
      .arg(Done.Records)
      .arg(Done.Visits)
      .arg(Done.Target, Options.Site);
}
