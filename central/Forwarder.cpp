#include "Forwarder.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <utility>

#include "Clock.h"
#include "Errors.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
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
  TLocalState(const QString& Connection, QString ATarget) : Db(QSqlDatabase::database(Connection, false)), Target(std::move(ATarget)) {}

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

const char* const UniqueViolation = "23505";

// The records after a mark, a batch at a time, read on the connection's native handle straight
// into COPY rows: Qt's row objects would cost more than the server's work.
class TRecordBatches {
 public:
  TRecordBatches(const QSqlDatabase& Db, const QString& ASite)
      : Query(NativeHandle(Db), "SELECT rowid, RECTIME, CARDNO, READER, MODE FROM records WHERE rowid > ? ORDER BY rowid LIMIT ?"),
        Site(ASite.toUtf8()) {}

  // Rows after Mark, at most Limit; Mark moves to the last one. Raises EDatabaseError.
  int Read(TMark& Mark, int Limit, QByteArray& Rows) {
    Query.BindInt64(1, Mark.RowId);
    Query.BindInt64(2, Limit);
    Rows.clear();
    int count = 0;
    while (Query.Next()) {
      Mark = {Query.Int64(0), QString::fromUtf8(Query.Text(1), Query.TextLength(1)), QString::fromUtf8(Query.Text(2), Query.TextLength(2))};
      for (int column = 1; column <= 4; ++column) AppendCopyField(Rows, Query.Text(column), Query.TextLength(column), false);
      AppendCopyField(Rows, Site.constData(), static_cast<int>(Site.size()), true);
      ++count;
    }
    return count;
  }

 private:
  TNativeStatement Query;
  QByteArray Site;
};

// One batch, one transaction on the server. Straight into records when none of its records is
// there yet, as on a first forward; through a scratch table and ON CONFLICT DO NOTHING once one
// is (a resend after an outage, a site overlapping another), for the rest of the forward.
class TBatchSender {
 public:
  TBatchSender(TPgConnection& AServer, std::function<void()> ABeforeCommit) : Server(AServer), BeforeCommit(std::move(ABeforeCommit)) {}

  bool Send(const QByteArray& Rows) {
    if (!Overlapping) {
      if (InTransaction([&] { return Server.Copy(QStringLiteral("COPY records (rectime, cardno, reader, mode, site) FROM STDIN"), Rows); })) {
        return true;
      }
      if (Server.ErrorCode() != QLatin1String(UniqueViolation) || !Server.Exec(QStringLiteral("ROLLBACK"))) return false;
      Overlapping = true;
    }
    return InTransaction([&] {
      return Server.Copy(QStringLiteral("COPY forward_records FROM STDIN"), Rows) &&
             Server.Exec(QStringLiteral("INSERT INTO records (rectime, cardno, reader, mode, site) "
                                        "SELECT rectime, cardno, reader, mode, site FROM forward_records "
                                        "ON CONFLICT (rectime, cardno) DO NOTHING"));
    });
  }

 private:
  template <typename TWork>
  bool InTransaction(TWork Work) {
    if (!Server.Exec(QStringLiteral("BEGIN")) || !Work()) return false;
    BeforeCommit();
    return Server.Exec(QStringLiteral("COMMIT"));
  }

  TPgConnection& Server;
  std::function<void()> BeforeCommit;
  bool Overlapping = false;
};

bool SendRecords(TPgConnection& Server, TLocalState& State, const QString& Site, int BatchRows,
                 const std::function<void(int)>& BeforeCommit, TForwardResult& Result) {
  if (!Server.Exec(QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS forward_records (rectime timestamp, cardno integer, "
                                  "reader text, mode smallint, site text) ON COMMIT DELETE ROWS"))) {
    return false;
  }
  TRecordBatches batches(State.Db, Site);
  int batch = 0;
  TBatchSender sender(Server, [&] {
    if (BeforeCommit) BeforeCommit(batch);
  });
  TMark mark = State.RecordsMark();
  QByteArray rows;
  for (batch = 1;; ++batch) {
    TMark next = mark;
    const int count = batches.Read(next, BatchRows, rows);
    if (count == 0) return true;
    if (!sender.Send(rows)) return false;
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

TForwarder::TForwarder(QString ALocalConnection, QString AUrl, QString ASite, int ABatchRows)
    : LocalConnection(std::move(ALocalConnection)), Url(std::move(AUrl)), Site(std::move(ASite)), BatchRows(ABatchRows) {}

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
  try {
    if (!SendRecords(server, state, Site, BatchRows, BeforeCommit, result) || !SendVisits(server, state, Site, result)) {
      return fail();
    }
  } catch (const EDatabaseError& Error) {  // logs.mdb itself could not be read
    result.Error = QString::fromLocal8Bit(Error.what());
    return result;
  }
  state.Set(QStringLiteral("last_error = ?"), {QVariant(QMetaType(QMetaType::QString))});
  result.Ok = true;
  return result;
}
