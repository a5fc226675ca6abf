#include "ServerSchema.h"

#include <QStringList>

#include <algorithm>

#include "PgConnection.h"
#include "ServerError.h"

namespace {

struct TColumn {
  const char* Name;
  const char* Type;  // as format_type names it
};

struct TTable {
  const char* Name;
  const char* Create;
  QList<TColumn> Columns;
  QStringList Key;  // a unique index on exactly these columns, in any order
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
      {"received", "timestamp with time zone"}},
     {"rectime", "cardno"}},
    {"visits",
     "CREATE TABLE IF NOT EXISTS visits (origin text NOT NULL, site text NOT NULL, id bigint NOT NULL, "
     "started timestamp without time zone NOT NULL, ended timestamp without time zone, ipaddr text, ipport text, outcome text, "
     "records_reported integer, added integer, duplicates integer, invalid integer, clock_set smallint, cleared smallint, "
     "detail text, UNIQUE (origin, id, started))",
     {{"origin", "text"},
      {"site", "text"},
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
      {"detail", "text"}},
     {"origin", "id", "started"}},
    {"sites",
     "CREATE TABLE IF NOT EXISTS sites (site text PRIMARY KEY, origin text NOT NULL, since timestamptz NOT NULL DEFAULT now())",
     {{"site", "text"}, {"origin", "text"}},
     {"site"}},
};

const char* const TableOid =
    "(SELECT c.oid FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = current_schema() AND c.relname = $1)";

[[noreturn]] void RefuseShape(const TTable& Table, const QString& What) {
  throw EServerError(TServerFailure::NeedsPerson,
                     QStringLiteral("the server's table %1 has another shape: %2; nothing was altered")
                         .arg(QString::fromLatin1(Table.Name), What));
}

void CheckColumns(TPgConnection& Server, const TTable& Table) {
  const QStringList present =
      Server.Column(QStringLiteral("SELECT a.attname || ':' || format_type(a.atttypid, a.atttypmod) FROM pg_attribute a "
                                   "WHERE a.attrelid = %1 AND a.attnum > 0 AND NOT a.attisdropped")
                        .arg(QString::fromLatin1(TableOid)),
                    {QString::fromLatin1(Table.Name)});
  for (const TColumn& column : Table.Columns) {
    const QString name = QString::fromLatin1(column.Name) + QLatin1Char(':');
    const auto found = std::find_if(present.begin(), present.end(), [&](const QString& Text) { return Text.startsWith(name); });
    const QString type = found == present.end() ? QStringLiteral("missing") : found->mid(name.size());
    if (type != QLatin1String(column.Type)) {
      RefuseShape(Table, QStringLiteral("column %1 is %2, not %3")
                             .arg(QString::fromLatin1(column.Name), type, QString::fromLatin1(column.Type)));
    }
  }
}

// A column the forward does not fill must fill itself.
void CheckNoOtherDemands(TPgConnection& Server, const TTable& Table) {
  QStringList ours;
  for (const TColumn& column : Table.Columns) ours << QString::fromLatin1(column.Name);
  const QStringList demanding = Server.Column(
      QStringLiteral("SELECT a.attname FROM pg_attribute a WHERE a.attrelid = %1 AND a.attnum > 0 AND NOT a.attisdropped "
                     "AND a.attnotnull AND NOT a.atthasdef AND a.attidentity = '' AND a.attgenerated = '' "
                     "AND NOT (a.attname = ANY ($2::text[]))")
          .arg(QString::fromLatin1(TableOid)),
      {QString::fromLatin1(Table.Name), QLatin1Char('{') + ours.join(QLatin1Char(',')) + QLatin1Char('}')});
  if (!demanding.isEmpty()) {
    RefuseShape(
        Table,
        QStringLiteral("column %1 is NOT NULL without a default, and no collector has a value for it").arg(demanding.front()));
  }
}

// A unique index the server enforces on every row at once (not partial, no expressions, not
// deferrable) over exactly the key's columns: what ON CONFLICT needs to keep each row once.
void CheckKey(TPgConnection& Server, const TTable& Table) {
  QStringList key = Table.Key;
  key.sort();
  const QStringList found = Server.Column(
      QStringLiteral("SELECT 1 FROM pg_index i WHERE i.indrelid = %1 AND i.indisunique AND i.indimmediate AND i.indpred IS NULL "
                     "AND i.indexprs IS NULL AND i.indnatts = $2::int AND (SELECT string_agg(a.attname, ',' ORDER BY a.attname) "
                     "FROM pg_attribute a WHERE a.attrelid = i.indrelid AND a.attnum = ANY (i.indkey)) = $3")
          .arg(QString::fromLatin1(TableOid)),
      {QString::fromLatin1(Table.Name), QString::number(key.size()), key.join(QLatin1Char(','))});
  if (found.isEmpty()) {
    RefuseShape(Table, QStringLiteral("no immediate unique index on exactly (%1), so a resend would double rows")
                           .arg(Table.Key.join(QStringLiteral(", "))));
  }
}

}  // namespace

// One transaction: a server syncs its log once for the tables a first forward makes, not once
// per table. A failure drops the link, and the server undoes the lot.
void EnsureServerSchema(TPgConnection& Server) {
  Server.Exec(QStringLiteral("BEGIN"));
  for (const TTable& table : Tables) {
    const bool exists =
        !Server.Column(QStringLiteral("SELECT %1").arg(QString::fromLatin1(TableOid)), {QString::fromLatin1(table.Name)})
             .value(0)
             .isEmpty();
    if (!exists) Server.Exec(QString::fromLatin1(table.Create));
    CheckColumns(Server, table);
    CheckNoOtherDemands(Server, table);
    CheckKey(Server, table);
  }
  Server.Exec(QStringLiteral("COMMIT"));
}
