#include "WatchForwarding.h"

#include <QThread>

#include <algorithm>

#include "Errors.h"
#include "Forwarder.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "ServerError.h"

namespace {

// Live events that come close together go in one forward, one at most this often: each costs
// the server a transaction and logs.mdb a write, whether it carries one event or fifty.
constexpr int GatherMs = 40;
constexpr int FirstRetryMs = 1000;     // after an outage or a failing logs.mdb, doubling up to LongestRetryMs
constexpr int LongestRetryMs = 60000;  // also the only wait after a refusal: a person must act first

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
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error, QStringLiteral("forwarding failed: %1; nothing is forwarded until the watch starts again")
                                      .arg(LocalFailureText(Error)));
    Last = TForwardEnd::LocalFailure;
    return;
  }
  TForwarder forwarder(db.Connection(), Options.ForwardUrl, Options.Site, {}, Stopping.Descriptor());
  for (TNext next{0, false}; AwaitNext(next);) {
    Stored.Take();  // what is stored from here on wakes the next wait
    SinceForward.start();
    next = Cycle(forwarder);
  }
  SayWaiting(forwarder);
}

// False once stopped. The gathering comes first: under a steady stream of events the wait for
// one then ends without sleeping, one wake-up per forward.
bool TWatchForwarding::AwaitNext(TNext Next) {
  if (!Next.OnStored) return Stopping.Wait(Next.WaitMs) != TWakeup::TWaitEnd::Woken;
  const int gatherMs = static_cast<int>(std::clamp<qint64>(GatherMs - SinceForward.elapsed(), 0, Next.WaitMs));
  if (gatherMs > 0 && Stopping.Wait(gatherMs) == TWakeup::TWaitEnd::Woken) return false;
  return Stopping.Wait(Next.WaitMs - gatherMs, Stored.Descriptor()) != TWakeup::TWaitEnd::Woken;
}

// One look at logs.mdb and, when something waits, one forward; what follows it.
TWatchForwarding::TNext TWatchForwarding::Cycle(TForwarder& Forwarder) {
  bool running = false;
  const auto progress = [&] { return running ? Forwarder.Progress() : TForwardProgress{}; };
  try {
    if (!Forwarder.Pending()) return {LookMs, true};
    running = true;
    Forwarder.Run();
  } catch (const EServerError& Error) {
    if (Error.Failure() == TServerFailure::Stopped) return {0, false};  // the loop's wait sees the stop
    return Failed(EndOf(Error), progress(), Error.Message());
  } catch (const EDatabaseBusy& Error) {
    // Another program's hold passes by itself, as an outage does: what was sent is sent again.
    return Failed(TForwardEnd::Outage, progress(), LocalFailureText(Error));
  } catch (const EDatabaseError& Error) {
    return Failed(TForwardEnd::LocalFailure, progress(), LocalFailureText(Error));
  }
  return Sent(Forwarder.Progress());
}

TWatchForwarding::TNext TWatchForwarding::Sent(const TForwardProgress& Done) {
  if (!Working) {
    JournalLine(TPriority::Info,
                QStringLiteral("forwarding to %1 as site %2: %3 records and %4 visits sent; the rest follows as it comes")
                                     .arg(Done.Target, Options.Site)
                                     .arg(Done.Records)
                                     .arg(Done.Visits));
  }
  Working = true;
  Last = TForwardEnd::Sent;
  RowsSetAside |= SayRowsSetAside(Done);
  return {LookMs, true};
}

// An outage and a failing logs.mdb may pass soon: tried again after a growing wait. A refusal
// waits for a person, tried again only at the longest wait.
TWatchForwarding::TNext TWatchForwarding::Failed(TForwardEnd How, const TForwardProgress& Done, const QString& Why) {
  const bool news = Working || How != Last;
  RetryMs = How == TForwardEnd::Refused ? LongestRetryMs
            : news                      ? FirstRetryMs
                                        : std::min(2 * RetryMs, LongestRetryMs);
  if (news) {
    const QString then = How == TForwardEnd::Refused
                             ? QStringLiteral("the watch goes on and tries again every %1 s").arg(LongestRetryMs / 1000)
                             : QStringLiteral("the watch goes on and tries again after a growing wait of up to %1 s")
                                   .arg(LongestRetryMs / 1000);
    JournalLine(How == TForwardEnd::Outage ? TPriority::Warning : TPriority::Error, ForwardFailed(Done, Why, then));
  }
  Working = false;
  Last = How;
  return {RetryMs, false};
}

void TWatchForwarding::SayWaiting(const TForwarder& Forwarder) {
  try {
    const qint64 waiting = Forwarder.RecordsWaiting();
    if (waiting > 0) {
      JournalLine(TPriority::Info,
                  QStringLiteral("forwarding stopped; %1 records wait in logs.mdb for the next forward").arg(waiting));
    }
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error, QStringLiteral("forwarding stopped: %1").arg(LocalFailureText(Error)));
    Last = TForwardEnd::LocalFailure;
  }
}
