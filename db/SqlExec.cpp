#include "SqlExec.h"

#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include "Errors.h"
#include "LogDatabase.h"

namespace {

void Check(const QSqlQuery& Query, bool Ok) {
  if (!Ok) RaiseDatabaseError(Query.lastError().nativeErrorCode().toInt(), Query.lastError().text().toStdString());
}

}  // namespace

void RaiseDatabaseError(int Code, const std::string& Message) {
  const int primary = Code & 0xff;
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) throw EDatabaseBusy(Message);
  if (primary == SQLITE_CORRUPT) {
    throw EDatabaseOpenError(TOpenFailure::Unusable, QStringLiteral("damaged: SQLite finds the database malformed; restore a backup (--restore)"));
  }
  throw EDatabaseError(Message);
}

void Exec(QSqlQuery& Query) {
  Check(Query, Query.exec());
}

void Exec(QSqlQuery& Query, const QString& Sql) {
  Check(Query, Query.exec(Sql));
}
