#include "Forwarding.h"

#include "Forwarder.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "RunOptions.h"

TForwardEnd ForwardCollected(const TLogDatabase& Db, const TRunOptions& Options) {
  const TForwardResult result = TForwarder(Db.Connection(), Options.ForwardUrl, Options.Site).Run();
  if (result.Ok) {
    JournalLine(TPriority::Info, QStringLiteral("forwarded %1 records and %2 visits to %3 as site %4")
                                     .arg(result.Records)
                                     .arg(result.Visits)
                                     .arg(result.Target, Options.Site));
    return TForwardEnd::Sent;
  }
  // A refusal needs a person (a password, a database, a table); an outage passes by itself.
  JournalLine(result.Refused ? TPriority::Error : TPriority::Warning,
              QStringLiteral("forwarding to %1 failed after %2 records: %3; the rest stays in logs.mdb for the next run")
                  .arg(result.Target)
                  .arg(result.Records)
                  .arg(result.Error));
  return result.Refused ? TForwardEnd::NeedsPerson : TForwardEnd::Outage;
}
