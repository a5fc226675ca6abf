#include "Corrections.h"

#include "PgConnection.h"

namespace {

const char* const Rows =
    "json_to_recordset($1::json) AS c(was timestamp, cardno integer, rectime timestamp, reader text, mode smallint)";

}  // namespace

void SendCorrections(TPgConnection& Server, const QByteArray& Corrected, const QString& Site) {
  const QString rows = QString::fromUtf8(Corrected);
  Server.Exec(QStringLiteral("BEGIN"));
  Server.Exec(QStringLiteral("UPDATE records r SET rectime = c.rectime, mode = c.mode FROM %1 WHERE r.rectime = c.was "
                             "AND r.cardno = c.cardno AND r.reader IS NOT DISTINCT FROM c.reader AND (c.was = c.rectime "
                             "OR NOT EXISTS (SELECT 1 FROM records x WHERE x.rectime = c.rectime AND x.cardno = c.cardno))")
                  .arg(QLatin1String(Rows)),
              {rows});
  Server.Exec(QStringLiteral("INSERT INTO records (rectime, cardno, reader, mode, site) SELECT c.rectime, c.cardno, c.reader, "
                             "c.mode, $2 FROM %1 ON CONFLICT (rectime, cardno) DO NOTHING")
                  .arg(QLatin1String(Rows)),
              {rows, Site});
  Server.Exec(QStringLiteral("COMMIT"));
}
