#include "Forwarder.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <utility>

#include "Clock.h"
#include "LogDatabase.h"
#include "PgConnection.h"
#include "ServerSchema.h"

namespace {

// Where forwarding to each server stands, in logs.mdb. The last record sent is named by its
// rowid and its key: SQLite hands out the largest rowid again after the last rows are deleted,
// and VACUUM may renumber them, so a rowid whose key has changed means "send everything again"
// (harmless: the server keeps each record once).
const char* const CreateState =
    "CREATE TABLE IF NOT EXISTS forwarding (target TEXT PRIMARY KEY, records_rowid INTEGER NOT NULL DEFAULT 0, "
    "records_rectime TEXT, records_cardno INTEGER, visits_id INTEGER NOT NULL DEFAULT 0, last_attempt TEXT, last_error TEXT)";

struct TMark {
  qint64 RowId = 0;
  QString RecTime;
  QString CardNo;
};

class TLocalState {
 public:
  TLocalState(const QString& Connection, QString Target) : Db(QSqlDatabase::database(Connection, false)), Target(std::move(Target)) {}

  bool Prepare(QString& Error) {
    QSqlQuery query(Db);
    if (!query.exec(QString::fromLatin1(CreateState))) return Fail(query, Error);
    QSqlQuery insert(Db);
    insert.prepare(QStringLiteral("INSERT OR IGNORE INTO forwarding (target) VALUES (?)"));
    insert.addBindValue(Target);
    return insert.exec() || Fail(insert, Error);
  }

  TMark RecordsMark() {
    QSqlQuery query(Db);
    query.prepare(QStringLiteral("SELECT f.records_rowid, f.records_rectime, f.records_cardno FROM forwarding f "
                                 "WHERE f.target = ? AND EXISTS (SELECT 1 FROM records r WHERE r.rowid = f.records_rowid "
                                 "AND r.RECTIME = f.records_rectime AND r.CARDNO = f.records_cardno)"));
    query.addBindValue(Target);
    if (!query.exec() || !query.next()) return {};
    return {query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString()};
  }

  qint64 VisitsMark() {
    QSqlQuery query(Db);
    query.prepare(QStringLiteral("SELECT visits_id FROM forwarding WHERE target = ?"));
    query.addBindValue(Target);
    return query.exec() && query.next() ? query.value(0).toLongLong() : 0;
  }

  bool Set(const QString& Assignments, const QVariantList& Values) {
    QSqlQuery update(Db);
    update.prepare(QStringLiteral("UPDATE forwarding SET %1, last_attempt = ? WHERE target = ?").arg(Assignments));
    for (const QVariant& value : Values) update.addBindValue(value);
    update.addBindValue(RecTimeText(Now()));
    update.addBindValue(Target);
    return update.exec();
  }

  QSqlDatabase Db;

 private:
  static bool Fail(const QSqlQuery& Query, QString& Error) {
    Error = Query.lastError().text();
    return false;
  }
  QString Target;
};

// One batch of records after Mark, as COPY rows; Mark moves to the batch's last record.
int ReadRecords(TLocalState& State, TMark& Mark, int Limit, QByteArray& Rows) {
  QSqlQuery query(State.Db);
  query.setForwardOnly(true);
  query.prepare(QStringLiteral("SELECT rowid, RECTIME, CARDNO, READER, MODE FROM records WHERE rowid > ? ORDER BY rowid LIMIT ?"));
  query.addBindValue(Mark.RowId);
  query.addBindValue(Limit);
  Rows.clear();
  int count = 0;
  if (!query.exec()) return -1;
  while (query.next()) {
    Mark = {query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString()};
    for (int column = 1; column <= 4; ++column) {
      const QVariant value = query.value(column);
      AppendCopyField(Rows, value.isNull() ? QString() : value.toString(), column == 4);
    }
    ++count;
  }
  return count;
}

// One batch, one transaction on the server.
bool SendBatch(TPgConnection& Server, const QByteArray& Rows, const QString& Site, const std::function<void()>& BeforeCommit) {
  if (!Server.Exec(QStringLiteral("BEGIN")) || !Server.Copy(QStringLiteral("COPY forward_records FROM STDIN"), Rows) ||
      !Server.Exec(QStringLiteral("INSERT INTO records (rectime, cardno, reader, mode, site) "
                                  "SELECT rectime, cardno, reader, mode, $1 FROM forward_records "
                                  "ON CONFLICT (rectime, cardno) DO NOTHING"),
                   {Site})) {
    return false;
  }
  BeforeCommit();
  return Server.Exec(QStringLiteral("COMMIT"));
}

bool SendRecords(TPgConnection& Server, TLocalState& State, const QString& Site, int BatchRows,
                 const std::function<void(int)>& BeforeCommit, TForwardResult& Result) {
  if (!Server.Exec(QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS forward_records (rectime timestamp, cardno integer, "
                                  "reader text, mode smallint) ON COMMIT DELETE ROWS"))) {
    return false;
  }
  TMark mark = State.RecordsMark();
  QByteArray rows;
  for (int batch = 1;; ++batch) {
    TMark next = mark;
    const int count = ReadRecords(State, next, BatchRows, rows);
    if (count <= 0) return count == 0;
    if (!SendBatch(Server, rows, Site, [&] {
          if (BeforeCommit) BeforeCommit(batch);
        })) {
      return false;
    }
    // Only now: a failure before the commit leaves the mark where it was.
    State.Set(QStringLiteral("records_rowid = ?, records_rectime = ?, records_cardno = ?"), {next.RowId, next.RecTime, next.CardNo});
    mark = next;
    Result.Records += count;
  }
}

bool SendVisits(TPgConnection& Server, TLocalState& State, const QString& Site, TForwardResult& Result) {
  QSqlQuery query(State.Db);
  query.prepare(QStringLiteral("SELECT id, started, ended, ipaddr, ipport, outcome, records_reported, added, duplicates, "
                               "invalid, clock_set, cleared, detail FROM visits WHERE id > ? ORDER BY id"));
  query.addBindValue(State.VisitsMark());
  if (!query.exec()) return true;  // no journal in this file: nothing to send
  while (query.next()) {
    if (query.value(2).isNull()) break;  // still running: sent once it has ended
    QStringList values = {Site};
    for (int column = 0; column < 13; ++column) {
      values << (query.value(column).isNull() ? QString() : query.value(column).toString());
    }
    if (!Server.Exec(QStringLiteral("INSERT INTO visits (site, id, started, ended, ipaddr, ipport, outcome, records_reported, "
                                    "added, duplicates, invalid, clock_set, cleared, detail) VALUES "
                                    "($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14) "
                                    "ON CONFLICT (site, id) DO UPDATE SET ended = EXCLUDED.ended, outcome = EXCLUDED.outcome, "
                                    "detail = EXCLUDED.detail"),
                     values)) {
      return false;
    }
    State.Set(QStringLiteral("visits_id = ?"), {query.value(0)});
    ++Result.Visits;
  }
  return true;
}

}  // namespace

TForwarder::TForwarder(QString LocalConnection, QString Url, QString Site, int BatchRows)
    : LocalConnection(std::move(LocalConnection)), Url(std::move(Url)), Site(std::move(Site)), BatchRows(BatchRows) {}

TForwardResult TForwarder::Run() {
  TForwardResult result;
  TPgConnection server(Url, ConnectTimeoutSeconds, StatementTimeoutMs);
  result.Target = server.Target();
  TLocalState state(LocalConnection, result.Target);
  if (!state.Prepare(result.Error)) return result;
  const auto fail = [&] {
    result.Error = server.Error();
    result.Refused = server.Refused();
    state.Set(QStringLiteral("last_error = ?"), {result.Error});
    return result;
  };
  if (!server.Connected()) return fail();
  QString shapeError;
  if (!EnsureServerSchema(server, shapeError)) {
    result.Error = shapeError.isEmpty() ? server.Error() : shapeError;
    result.Refused = !shapeError.isEmpty();
    state.Set(QStringLiteral("last_error = ?"), {result.Error});
    return result;
  }
  if (!SendRecords(server, state, Site, BatchRows, BeforeCommit, result) || !SendVisits(server, state, Site, result)) {
    return fail();
  }
  state.Set(QStringLiteral("last_error = ?"), {QVariant(QMetaType(QMetaType::QString))});
  result.Ok = true;
  return result;
}
