#include "ServerSchema.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cstddef>
#include <iterator>

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

// Each table's shape in one round trip: whether it is there, its columns and their types, the
// first column it demands that the forward does not fill, and whether its unique key is one the
// server enforces on every row at once (not partial, no expressions, not deferrable) over exactly
// the key's columns: what ON CONFLICT needs to keep each row once. $1: the tables' names, $2
// the columns the forward fills and $3 the key, each as names joined by commas, in the same order.
const char* const ShapeQuery =
    "SELECT json_build_object("
    "'exists', c.oid IS NOT NULL, "
    "'columns', (SELECT json_object_agg(a.attname, format_type(a.atttypid, a.atttypmod)) FROM pg_attribute a "
    "WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped), "
    "'demanding', (SELECT a.attname FROM pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
    "AND a.attnotnull AND NOT a.atthasdef AND a.attidentity = '' AND a.attgenerated = '' "
    "AND NOT (a.attname = ANY (string_to_array(t.ours, ','))) ORDER BY a.attnum LIMIT 1), "
    "'keyed', EXISTS (SELECT 1 FROM pg_index i WHERE i.indrelid = c.oid AND i.indisunique AND i.indimmediate "
    "AND i.indpred IS NULL AND i.indexprs IS NULL AND i.indnatts = cardinality(string_to_array(t.key, ',')) "
    "AND (SELECT string_agg(a.attname, ',' ORDER BY a.attname) FROM pg_attribute a WHERE a.attrelid = i.indrelid "
    "AND a.attnum = ANY (i.indkey)) = t.key)) "
    "FROM unnest($1::text[], $2::text[], $3::text[]) WITH ORDINALITY AS t(name, ours, key, n) "
    "LEFT JOIN (pg_class c JOIN pg_namespace s ON s.oid = c.relnamespace AND s.nspname = current_schema()) "
    "ON c.relname = t.name ORDER BY t.n";

QString ArrayOf(const QStringList& Items) {
  return QLatin1Char('{') + Items.join(QLatin1Char(',')) + QLatin1Char('}');
}

// The JSON object ShapeQuery gives for each of Tables, in their order.
QList<QJsonObject> Shapes(TPgConnection& Server) {
  QStringList names;
  QStringList ours;
  QStringList keys;
  for (const TTable& table : Tables) {
    names << QString::fromLatin1(table.Name);
    QStringList columns;
    for (const TColumn& column : table.Columns) columns << QString::fromLatin1(column.Name);
    ours << QLatin1Char('"') + columns.join(QLatin1Char(',')) + QLatin1Char('"');
    QStringList key = table.Key;
    key.sort();
    keys << QLatin1Char('"') + key.join(QLatin1Char(',')) + QLatin1Char('"');
  }
  QList<QJsonObject> shapes;
  for (const QString& text : Server.Column(QString::fromLatin1(ShapeQuery), {ArrayOf(names), ArrayOf(ours), ArrayOf(keys)})) {
    shapes << QJsonDocument::fromJson(text.toUtf8()).object();
  }
  return shapes;
}

[[noreturn]] void RefuseShape(const TTable& Table, const QString& What) {
  throw EServerError(TServerFailure::NeedsPerson,
                     QStringLiteral("the server's table %1 has another shape: %2; nothing was altered")
                         .arg(QString::fromLatin1(Table.Name), What));
}

void CheckShape(const TTable& Table, const QJsonObject& Shape) {
  const QJsonObject present = Shape.value(QLatin1String("columns")).toObject();
  for (const TColumn& column : Table.Columns) {
    const QString type = present.value(QLatin1String(column.Name)).toString(QStringLiteral("missing"));
    if (type != QLatin1String(column.Type)) {
      RefuseShape(Table, QStringLiteral("column %1 is %2, not %3")
                             .arg(QString::fromLatin1(column.Name), type, QString::fromLatin1(column.Type)));
    }
  }
  // A column the forward does not fill must fill itself.
  const QString demanding = Shape.value(QLatin1String("demanding")).toString();
  if (!demanding.isEmpty()) {
    RefuseShape(Table,
                QStringLiteral("column %1 is NOT NULL without a default, and no collector has a value for it").arg(demanding));
  }
  if (!Shape.value(QLatin1String("keyed")).toBool()) {
    RefuseShape(Table, QStringLiteral("no immediate unique index on exactly (%1), so a resend would double rows")
                           .arg(Table.Key.join(QStringLiteral(", "))));
  }
}

}  // namespace

// Tables that are all there cost one round trip. Missing ones are made in one transaction: a
// server syncs its log once for the tables a first forward makes, not once per table. A failure
// drops the link, and the server undoes the lot.
void EnsureServerSchema(TPgConnection& Server) {
  QList<QJsonObject> shapes = Shapes(Server);
  const bool missing = std::any_of(shapes.begin(), shapes.end(),
                                   [](const QJsonObject& Shape) { return !Shape.value(QLatin1String("exists")).toBool(); });
  if (missing) {
    Server.Exec(QStringLiteral("BEGIN"));
    for (qsizetype table = 0; table < shapes.size(); ++table) {
      if (!shapes[table].value(QLatin1String("exists")).toBool()) Server.Exec(QString::fromLatin1(Tables[table].Create));
    }
    shapes = Shapes(Server);
  }
  for (std::size_t table = 0; table < std::size(Tables); ++table) {
    CheckShape(Tables[table], shapes.value(static_cast<qsizetype>(table)));
  }
  if (missing) Server.Exec(QStringLiteral("COMMIT"));
}
