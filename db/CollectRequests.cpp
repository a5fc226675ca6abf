#include "CollectRequests.h"

#include <QSqlQuery>
#include <QVariant>

#include <utility>
#include <vector>

#include "Clock.h"
#include "LogDatabase.h"
#include "SqlExec.h"

namespace {

const QString TakenAnswer = QStringLiteral("taken");
const QString NotWatched = QStringLiteral("refused: the watch keeps no line to this reader (see its bad_row visit)");
constexpr double KeptDays = 1.0;

QSqlQuery Prepared(const QSqlDatabase& Db, const QString& Sql) {
  QSqlQuery query(Db);
  query.setForwardOnly(true);
  query.prepare(Sql);
  return query;
}

}  // namespace

void CreateCollectRequests(const QSqlDatabase& Db) {
  QSqlQuery query(Db);
  Exec(query, QStringLiteral("CREATE TABLE IF NOT EXISTS collect_requests (id INTEGER PRIMARY KEY, ipaddr TEXT NOT NULL, "
                             "ipport TEXT NOT NULL, asked TEXT NOT NULL, taken TEXT, answer TEXT)"));
}

qint64 AskCollect(const QSqlDatabase& Db, const QString& Address, const QString& Port) {
  QSqlQuery insert = Prepared(Db, QStringLiteral("INSERT INTO collect_requests (ipaddr, ipport, asked) VALUES (?, ?, ?)"));
  insert.addBindValue(Address);
  insert.addBindValue(Port);
  insert.addBindValue(RecTimeText(Now()));
  Exec(insert);
  return insert.lastInsertId().toLongLong();
}

TCollectAnswer CollectAnswer(const QSqlDatabase& Db, qint64 Id) {
  QSqlQuery query = Prepared(Db, QStringLiteral("SELECT taken, answer FROM collect_requests WHERE id = ?"));
  query.addBindValue(Id);
  Exec(query);
  if (!query.next()) return {};
  return {query.value(0).toString(), query.value(1).toString()};
}

QStringList TakeCollectRequests(const QSqlDatabase& Db, const std::function<bool(const QString&)>& Watched) {
  QSqlQuery waiting = Prepared(Db, QStringLiteral("SELECT id, ipaddr || ':' || ipport FROM collect_requests WHERE taken IS NULL"));
  Exec(waiting);
  std::vector<std::pair<qint64, QString>> asked;
  while (waiting.next()) asked.emplace_back(waiting.value(0).toLongLong(), waiting.value(1).toString());
  waiting.finish();
  if (asked.empty()) return {};
  // All or none: a request marked taken whose reader was not passed would be waited for in vain.
  QSqlQuery begin(Db);
  Exec(begin, QStringLiteral("BEGIN IMMEDIATE"));
  struct TRollback {
    QSqlDatabase Db;
    bool Committed = false;
    ~TRollback() {
      if (!Committed) QSqlQuery(Db).exec(QStringLiteral("ROLLBACK"));
    }
  } rollback{Db};
  const QString now = RecTimeText(Now());
  QStringList taken;
  QSqlQuery answer = Prepared(Db, QStringLiteral("UPDATE collect_requests SET taken = ?, answer = ? WHERE id = ?"));
  for (const auto& [id, reader] : asked) {
    const bool watched = Watched(reader);
    if (watched && !taken.contains(reader)) taken << reader;
    answer.addBindValue(now);
    answer.addBindValue(watched ? TakenAnswer : NotWatched);
    answer.addBindValue(id);
    Exec(answer);
  }
  QSqlQuery prune = Prepared(Db, QStringLiteral("DELETE FROM collect_requests WHERE taken < ?"));
  prune.addBindValue(RecTimeText(Now() - KeptDays));
  Exec(prune);
  QSqlQuery commit(Db);
  Exec(commit, QStringLiteral("COMMIT"));
  rollback.Committed = true;
  return taken;
}
