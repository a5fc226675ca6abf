#include "HealthCheck.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

namespace {

const QString ConnectionName = QStringLiteral("health-check");

// One value from the visits of one reader; Suffix completes "FROM visits WHERE ipaddr = ? AND
// ipport = ? ..." and binds nothing further.
QVariant VisitValue(const QSqlDatabase& Db, const QString& Select, const TReaderHealth& Reader, const QString& Suffix) {
  QSqlQuery query(Db);
  query.prepare(Select + QStringLiteral(" FROM visits WHERE ipaddr = ? AND ipport = ? ") + Suffix);
  query.addBindValue(Reader.Address);
  query.addBindValue(Reader.Port);
  return query.exec() && query.next() ? query.value(0) : QVariant();
}

void Assess(const QSqlDatabase& Db, const QString& Cutoff, TReaderHealth& Reader) {
  QSqlQuery last(Db);
  last.prepare(QStringLiteral("SELECT started, outcome FROM visits WHERE ipaddr = ? AND ipport = ? ORDER BY id DESC LIMIT 1"));
  last.addBindValue(Reader.Address);
  last.addBindValue(Reader.Port);
  if (last.exec() && last.next()) {
    Reader.LastStarted = last.value(0).toString();
    Reader.LastOutcome = last.value(1).toString();
  }
  const QString lastDoneId = VisitValue(Db, QStringLiteral("SELECT MAX(id)"), Reader, QStringLiteral("AND outcome = 'done'")).toString();
  Reader.LastDone = VisitValue(Db, QStringLiteral("SELECT ended"), Reader,
                               QStringLiteral("AND id = %1").arg(lastDoneId.isEmpty() ? QStringLiteral("-1") : lastDoneId))
                        .toString();
  Reader.FailuresSince = VisitValue(Db, QStringLiteral("SELECT COUNT(*)"), Reader,
                                    QStringLiteral("AND outcome NOT IN ('done', 'running') AND id > %1")
                                        .arg(lastDoneId.isEmpty() ? QStringLiteral("0") : lastDoneId))
                             .toInt();
  Reader.AddedInWindow =
      VisitValue(Db, QStringLiteral("SELECT COALESCE(SUM(added), 0)"), Reader, QStringLiteral("AND started >= '%1'").arg(Cutoff)).toInt();
  Reader.Healthy = !Reader.LastDone.isEmpty() && Reader.LastDone >= Cutoff;
}

bool ReadAll(const QSqlDatabase& Db, int WindowHours, QList<TReaderHealth>& Readers, QString& Error) {
  QSqlQuery cutoff(Db);
  if (!cutoff.exec(QStringLiteral("SELECT datetime('now', 'localtime', '-%1 hours')").arg(WindowHours)) || !cutoff.next()) {
    Error = cutoff.lastError().text();
    return false;
  }
  QSqlQuery journal(Db);
  if (!journal.exec(QStringLiteral("SELECT id, started, ended, ipaddr, ipport, outcome, added FROM visits LIMIT 0"))) {
    Error = QStringLiteral("no visit journal: ") + journal.lastError().text();
    return false;
  }
  QSqlQuery rows(Db);
  if (!rows.exec(QStringLiteral("SELECT ipaddr, ipport FROM readers"))) {
    Error = rows.lastError().text();
    return false;
  }
  while (rows.next()) {
    TReaderHealth reader;
    reader.Address = rows.value(0).toString();
    reader.Port = rows.value(1).toString();
    Assess(Db, cutoff.value(0).toString(), reader);
    Readers << reader;
  }
  return true;
}

}  // namespace

bool ReadHealth(const QString& DatabasePath, int WindowHours, QList<TReaderHealth>& Readers, QString& Error) {
  if (!QFileInfo(DatabasePath).isFile()) {
    Error = QStringLiteral("no such file");
    return false;
  }
  bool read = false;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000"));
    db.setDatabaseName(QUrl::fromLocalFile(DatabasePath).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=ro"));
    if (db.open()) {
      read = ReadAll(db, WindowHours, Readers, Error);
    } else {
      Error = db.lastError().text();
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(ConnectionName);
  return read;
}
