#include "WatchView.h"

#include <QDate>
#include <QSqlQuery>
#include <QVariant>

#include <map>
#include <utility>

#include "Clock.h"
#include "SqlExec.h"

namespace {

using TKey = std::pair<QString, QString>;

const char* const ReadersAndLastVisits =
    "SELECT r.a, r.p, v.outcome, v.started, v.ended, v.added, v.duplicates, v.invalid, v.clock_set, v.cleared, v.detail "
    "FROM (SELECT rowid AS n, CAST(ipaddr AS TEXT) AS a, CAST(ipport AS TEXT) AS p FROM readers) r "
    "LEFT JOIN visits v ON v.id = (SELECT l.id FROM visits l WHERE l.ipaddr = r.a AND l.ipport = r.p "
    "AND l.outcome <> 'line_down' ORDER BY l.id DESC LIMIT 1) ORDER BY r.n";

QSqlQuery Query(const QSqlDatabase& Db, const QString& Sql, const QVariantList& Values = {}) {
  QSqlQuery query(Db);
  query.setForwardOnly(true);
  query.prepare(Sql);
  for (const QVariant& value : Values) query.addBindValue(value);
  Exec(query);
  return query;
}

bool HasTable(const QSqlDatabase& Db, const QString& Name) {
  QSqlQuery query = Query(Db, QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"), {Name});
  return query.next();
}

TDateTime TimeOf(const QString& Text) {
  const QDateTime time = QDateTime::fromString(Text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  return time.isValid() ? ToDateTime(time) : 0;
}

std::optional<TVisit> VisitOf(const QSqlQuery& Row) {
  const std::optional<TVisitOutcome> outcome = Row.value(2).isNull() ? std::nullopt : OutcomeNamed(Row.value(2).toString());
  if (!outcome) return std::nullopt;
  TVisit visit;
  visit.Address = Row.value(0).toString();
  visit.Port = Row.value(1).toString();
  visit.Outcome = *outcome;
  visit.Added = Row.value(5).toInt();
  visit.Duplicates = Row.value(6).toInt();
  visit.Invalid = Row.value(7).toInt();
  visit.ClockSet = Row.value(8).toInt() != 0;
  visit.Cleared = Row.value(9).toInt() != 0;
  visit.Detail = Row.value(10).toString();
  visit.ClearSkipped = !visit.Cleared && visit.Detail.contains(QStringLiteral("not cleared: "));
  return visit;
}

std::map<TKey, TLineState> Lines(const QSqlDatabase& Db) {
  std::map<TKey, TLineState> lines;
  if (!HasTable(Db, QStringLiteral("watch_lines"))) return lines;
  QSqlQuery query = Query(Db, QStringLiteral("SELECT ipaddr, ipport, line, since, step, steps, maximum FROM watch_lines"));
  while (query.next()) {
    TLineState state;
    state.Address = query.value(0).toString();
    state.Port = query.value(1).toString();
    const QString line = query.value(2).toString();
    state.Line = line == LineText(TLineState::TLine::Up)     ? TLineState::TLine::Up
                 : line == LineText(TLineState::TLine::Down) ? TLineState::TLine::Down
                                                             : TLineState::TLine::Connecting;
    state.Since = TimeOf(query.value(3).toString());
    state.Step = query.value(4).toString();
    state.Steps = query.value(5).toInt();
    state.Maximum = query.value(6).toInt();
    lines[{state.Address, state.Port}] = state;
  }
  return lines;
}

// RECTIME sorts in time order: today's records are one range of the index.
std::map<QString, int> EventsToday(const QSqlDatabase& Db) {
  std::map<QString, int> counts;
  const QString midnight = QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(" 00:00:00");
  QSqlQuery query = Query(Db, QStringLiteral("SELECT READER, COUNT(*) FROM records WHERE RECTIME >= ? GROUP BY READER"), {midnight});
  while (query.next()) counts[query.value(0).toString()] = query.value(1).toInt();
  return counts;
}

// One snapshot: whatever commits meanwhile shows at the next read, never half of it.
class TReadTransaction {
 public:
  explicit TReadTransaction(const QSqlDatabase& ADb) : Db(ADb) { Query(Db, QStringLiteral("BEGIN")); }
  ~TReadTransaction() { QSqlQuery(Db).exec(QStringLiteral("COMMIT")); }
  TReadTransaction(const TReadTransaction&) = delete;
  TReadTransaction& operator=(const TReadTransaction&) = delete;

 private:
  QSqlDatabase Db;
};

}  // namespace

TWatchView ReadWatchView(const QSqlDatabase& Db) {
  const TReadTransaction snapshot(Db);
  TWatchView view;
  view.Watch = LiveWatch(Db);
  const std::map<TKey, TLineState> lines = view.Watch ? Lines(Db) : std::map<TKey, TLineState>();
  const std::map<QString, int> today = EventsToday(Db);
  const bool journal = HasTable(Db, QStringLiteral("visits"));
  QSqlQuery rows = journal ? Query(Db, QString::fromLatin1(ReadersAndLastVisits))
                           : Query(Db, QStringLiteral("SELECT CAST(ipaddr AS TEXT), CAST(ipport AS TEXT) FROM readers ORDER BY rowid"));
  while (rows.next()) {
    TReaderView reader;
    reader.Address = rows.value(0).toString();
    reader.Port = rows.value(1).toString();
    if (const auto line = lines.find({reader.Address, reader.Port}); line != lines.end()) reader.Line = line->second;
    if (journal) {
      reader.Last = VisitOf(rows);
      reader.LastTime = rows.value(rows.value(4).isNull() ? 3 : 4).toString();
    }
    if (const auto count = today.find(reader.Address); count != today.end()) reader.EventsToday = count->second;
    view.Readers << reader;
  }
  return view;
}
