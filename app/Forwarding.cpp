#include "Forwarding.h"

#include "Errors.h"
#include "Forwarder.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "RunOptions.h"
#include "ServerError.h"

namespace {

QString FailedLine(const TForwardProgress& Progress, const QString& Why) {
  if (Progress.Target.isEmpty()) return QStringLiteral("forwarding failed: %1").arg(Why);
  return QStringLiteral("forwarding to %1 failed after %2 records and %3 visits: %4; the rest stays in logs.mdb for the next run")
      .arg(Progress.Target)
      .arg(Progress.Records)
      .arg(Progress.Visits)
      .arg(Why);
}

}  // namespace

TForwardEnd ForwardCollected(const TLogDatabase& Db, const TRunOptions& Options) {
  TForwarder forwarder(Db.Connection(), Options.ForwardUrl, Options.Site);
  try {
    forwarder.Run();
  } catch (const EServerError& Error) {
    // An outage passes by itself; anything else needs a person, whom sending again will not replace.
    const bool outage = Error.Failure() == TServerFailure::Outage;
    JournalLine(outage ? TPriority::Warning : TPriority::Error, FailedLine(forwarder.Progress(), Error.Message()));
    return outage ? TForwardEnd::Outage : TForwardEnd::Refused;
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error,
                FailedLine(forwarder.Progress(), QStringLiteral("logs.mdb: ") + QString::fromLocal8Bit(Error.what())));
    return TForwardEnd::LocalFailure;
  }
  const TForwardProgress& done = forwarder.Progress();
  JournalLine(TPriority::Info, QStringLiteral("forwarded %1 records and %2 visits to %3 as site %4")
                                   .arg(done.Records)
                                   .arg(done.Visits)
                                   .arg(done.Target, Options.Site));
  if (done.SetAside == 0) return TForwardEnd::Sent;
  JournalLine(TPriority::Error,
              QStringLiteral("%1 rows were refused by %2 and set aside: see the table forwarding_rejected in logs.mdb")
                  .arg(done.SetAside)
                  .arg(done.Target));
  return TForwardEnd::Refused;
}
