#include "WatchForwarding.h"

#include <QThread>

#include <algorithm>
#include <exception>

#include "Errors.h"
#include "Forwarder.h"
#include "Journal.h"
#include "LogDatabase.h"

namespace {

// Live events that come close together go in one forward, one at most this often: each costs
// the server a transaction and logs.mdb a write, whether it carries one event or fifty. Short
// beside the wait an event may have on its way to the server, which the commit before it and the
// forward itself take most of.
constexpr int GatherMs = 20;

}  // namespace

TWatchForwarding::TWatchForwarding(QString DatabaseFile, TRunOptions AOptions, int BusyTimeoutMs, int LookEveryMs)
    : File(std::move(DatabaseFile)), Options(std::move(AOptions)), BusyMs(BusyTimeoutMs), LookMs(LookEveryMs) {
  Thread.reset(QThread::create([this] { Forward(); }));
  Thread->start();
}

TWatchForwarding::~TWatchForwarding() {
  StopAndWait();
}

TForwardEnd TWatchForwarding::StopAndWait() {
  Stop();
  Thread->wait();
  return Last == TForwardEnd::Sent && RowsSetAside ? TForwardEnd::Refused : Last;
}

// logs.mdb is opened here: a Qt connection serves only the thread that opened it.
void TWatchForwarding::Forward() {
  TLogDatabase db(BusyMs);
  try {
    db.OpenDatabase(File);
  } catch (const EDatabaseError&) {
    const TForwardFailure failure = FailureOf(std::current_exception());
    JournalLine(PriorityOf(failure.End),
                ForwardFailed({}, failure.Why, QStringLiteral("nothing is forwarded until the watch starts again")));
    Last = failure.End;
    return;
  }
  TForwarder forwarder(db.Connection(), Options.ForwardUrl, Options.Site, {}, Stopping.Descriptor());
  int retryMs = 0;
  for (TWake wake; (wake = AwaitNext(retryMs)) != TWake::Stopped;) {
    // Taken before the flag is cleared: an event told of in between was committed before the
    // forward reads, and one told of after it gives the wake-up again.
    Stored.Take();
    Told = false;
    SinceForward.start();
    if (wake == TWake::Look) SinceLook.start();
    retryMs = Cycle(forwarder, wake == TWake::Told);
  }
  SayWaiting(forwarder);
}

// A retry waits its time whatever is stored meanwhile. Otherwise the gathering comes first:
// under a steady stream of events the wait for one then ends without sleeping, one wake-up per
// forward; and the look comes every LookMs however busy the stream.
TWatchForwarding::TWake TWatchForwarding::AwaitNext(int RetryInMs) {
  if (RetryInMs > 0 || !SinceLook.isValid()) {
    return Stopping.Wait(RetryInMs) == TWakeup::TWaitEnd::Woken ? TWake::Stopped : TWake::Look;
  }
  const qint64 lookInMs = std::max<qint64>(0, LookMs - SinceLook.elapsed());
  const auto gatherMs = std::clamp<qint64>(GatherMs - SinceForward.elapsed(), 0, lookInMs);
  if (gatherMs > 0 && Stopping.Wait(static_cast<int>(gatherMs)) == TWakeup::TWaitEnd::Woken) return TWake::Stopped;
  switch (Stopping.Wait(static_cast<int>(lookInMs - gatherMs), Stored.Descriptor())) {
    case TWakeup::TWaitEnd::Woken: return TWake::Stopped;
    case TWakeup::TWaitEnd::Readable: return TWake::Told;
    case TWakeup::TWaitEnd::Timeout: break;
  }
  return TWake::Look;
}

// One forward: of the records a worker told of, or, at a look, of whatever logs.mdb holds that
// the server has not acknowledged, if anything. The wait before a retry, or 0.
int TWatchForwarding::Cycle(TForwarder& Forwarder, bool OnWord) {
  bool running = false;
  const auto progress = [&] { return running ? Forwarder.Progress() : TForwardProgress{}; };
  try {
    if (!OnWord && !Forwarder.Pending()) return 0;
    running = true;
    Forwarder.Run(OnWord ? TForwardScope::Records : TForwardScope::Everything);
  } catch (const std::exception&) {
    const TForwardFailure failure = FailureOf(std::current_exception());
    if (failure.End == TForwardEnd::Stopped) return 0;  // the loop's wait sees the stop
    return Failed(failure.End, progress(), failure.Why);
  }
  return Sent(Forwarder.Progress());
}

int TWatchForwarding::Sent(const TForwardProgress& Done) {
  if (!Working) {
    JournalLine(TPriority::Info,
                QStringLiteral("forwarding to %1 as site %2: %3 records and %4 visits sent; the rest follows as it comes")
                                     .arg(Done.Target, Options.Site)
                                     .arg(Done.Records)
                                     .arg(Done.Visits));
  }
  Working = true;
  Last = TForwardEnd::Sent;
  NoteSetAside(Done);
  return 0;
}

void TWatchForwarding::NoteSetAside(const TForwardProgress& Done) {
  if (Done.SetAside == 0) {
    if (SettingAside.Lasting() && SinceSetAside.hasExpired(TJournalCondition::RepeatMs)) {
      SettingAside.Ended(QStringLiteral("none for a minute"));
    }
    return;
  }
  RowsSetAside = true;
  SinceSetAside.start();
  // Counted by the row: a forward may set several aside.
  for (int row = 0; row < Done.SetAside; ++row) SettingAside.Occurred(QStringLiteral("refused by %1").arg(Done.Target));
}

// An outage and a failing logs.mdb may pass soon: tried again after a growing wait. A refusal
// waits for a person, tried again only at the longest wait.
int TWatchForwarding::Failed(TForwardEnd How, const TForwardProgress& Done, const QString& Why) {
  const bool news = Working || How != Last;
  if (news) {
    Retry.Reset();
    const int longestS = Retry.LongestWaitMs() / 1000;
    const QString then = How == TForwardEnd::Refused
                             ? QStringLiteral("the watch goes on and tries again every %1 s").arg(longestS)
                             : QStringLiteral("the watch goes on and tries again after a growing wait of up to %1 s")
                                   .arg(longestS);
    JournalLine(PriorityOf(How), ForwardFailed(Done, Why, then));
  }
  Working = false;
  Last = How;
  return How == TForwardEnd::Refused ? Retry.LongestWaitMs() : Retry.Failed();
}

void TWatchForwarding::SayWaiting(const TForwarder& Forwarder) {
  try {
    const qint64 waiting = Forwarder.RecordsWaiting();
    if (waiting > 0) {
      JournalLine(TPriority::Info,
                  QStringLiteral("forwarding stopped; %1 records wait in logs.mdb for the next forward").arg(waiting));
    }
  } catch (const EDatabaseError&) {
    // Only a failing logs.mdb changes how forwarding stands: a hold passes by itself.
    const TForwardFailure failure = FailureOf(std::current_exception());
    JournalLine(PriorityOf(failure.End), QStringLiteral("forwarding stopped: %1").arg(failure.Why));
    if (failure.End == TForwardEnd::LocalFailure) Last = failure.End;
  }
}
