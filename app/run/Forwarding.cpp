#include "Forwarding.h"

#include "Errors.h"
#include "Forwarder.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "RunOptions.h"
#include "ServerError.h"

namespace {

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

QString LocalFailureText(const EDatabaseError& Error) {
  return QStringLiteral("logs.mdb: ") + QString::fromLocal8Bit(Error.what());
}

TForwardEnd EndOf(const EServerError& Error) {
  return Error.Failure() == TServerFailure::Outage ? TForwardEnd::Outage : TForwardEnd::Refused;
}

TExitStatus ExitStatusOf(TForwardEnd End) {
  switch (End) {
    case TForwardEnd::Sent:
    case TForwardEnd::Outage: return TExitStatus::Ok;
    case TForwardEnd::Refused: return TExitStatus::ForwardRefused;
    case TForwardEnd::LocalFailure: return TExitStatus::StoreFailed;
  }
  return TExitStatus::ForwardRefused;
}

TForwardEnd ForwardCollected(const TLogDatabase& Db, const TRunOptions& Options) {
  TForwarder forwarder(Db.Connection(), Options.ForwardUrl, Options.Site);
  const QString rest = QStringLiteral("the rest stays in logs.mdb for the next run");
  try {
    forwarder.Run();
  } catch (const EServerError& Error) {
    const TForwardEnd end = EndOf(Error);
    JournalLine(end == TForwardEnd::Outage ? TPriority::Warning : TPriority::Error,
                ForwardFailed(forwarder.Progress(), Error.Message(), rest));
    return end;
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error, ForwardFailed(forwarder.Progress(), LocalFailureText(Error), rest));
    return TForwardEnd::LocalFailure;
  }
  const TForwardProgress& done = forwarder.Progress();
  JournalLine(TPriority::Info, QStringLiteral("forwarded %1 records and %2 visits to %3 as site %4")
                                   .arg(done.Records)
                                   .arg(done.Visits)
                                   .arg(done.Target, Options.Site));
  return SayRowsSetAside(done) ? TForwardEnd::Refused : TForwardEnd::Sent;
}
