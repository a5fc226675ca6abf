#include "ServerSchema.h"

#include <QStringList>

#include "PgConnection.h"

namespace {

struct TColumn {
  const char* Name;
  const char* Type;  // as information_schema names it
};

struct TTable {
  const char* Name;
  const char* Create;
  QList<TColumn> Columns;
};

const TTable Tables[] = {
    {"records",
     "CREATE TABLE IF NOT EXISTS records (rectime timestamp without time zone NOT NULL, cardno integer NOT NULL, "
     "reader text, mode smallint, site text, received timestamptz NOT NULL DEFAULT now(), UNIQUE (rectime, cardno))",
     {{"rectime", "timestamp without time zone"},
      {"cardno", "integer"},
      {"reader", "text"},
      {"mode", "smallint"},
      {"site", "text"},
      {"received", "timestamp with time zone"}}},
    {"visits",
     "CREATE TABLE IF NOT EXISTS visits (site text NOT NULL, id bigint NOT NULL, started timestamp without time zone, "
     "ended timestamp without time zone, ipaddr text, ipport text, outcome text, records_reported integer, added integer, "
     "duplicates integer, invalid integer, clock_set smallint, cleared smallint, detail text, PRIMARY KEY (site, id))",
     {{"site", "text"},
      {"id", "bigint"},
      {"started", "timestamp without time zone"},
      {"ended", "timestamp without time zone"},
      {"ipaddr", "text"},
      {"ipport", "text"},
      {"outcome", "text"},
      {"records_reported", "integer"},
      {"added", "integer"},
      {"duplicates", "integer"},
      {"invalid", "integer"},
      {"clock_set", "smallint"},
      {"cleared", "smallint"},
      {"detail", "text"}}},
};

}  // namespace

bool EnsureServerSchema(TPgConnection& Server, QString& ShapeError) {
  ShapeError.clear();
  for (const TTable& table : Tables) {
    if (!Server.Exec(QString::fromLatin1(table.Create))) return false;
    for (const TColumn& column : table.Columns) {
      QStringList type;
      if (!Server.Column(QStringLiteral("SELECT data_type FROM information_schema.columns WHERE table_schema = current_schema() "
                                        "AND table_name = $1 AND column_name = $2"),
                         {QString::fromLatin1(table.Name), QString::fromLatin1(column.Name)}, type)) {
        return false;
      }
      if (type.value(0) != QLatin1String(column.Type)) {
        ShapeError = QStringLiteral("the server's table %1 has another shape: column %2 is %3, not %4; nothing was altered")
                         .arg(QString::fromLatin1(table.Name), QString::fromLatin1(column.Name),
                              type.isEmpty() ? QStringLiteral("missing") : type.front(), QString::fromLatin1(column.Type));
        return false;
      }
    }
  }
  return true;
}
