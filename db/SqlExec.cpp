#include "SqlExec.h"

#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include "Errors.h"

namespace {

void Check(const QSqlQuery& Query, bool Ok) {
  if (!Ok) RaiseDatabaseError(Query.lastError().nativeErrorCode().toInt(), Query.lastError().text().toStdString());
}

}  // namespace

void RaiseDatabaseError(int Code, const std::string& Message) {
  const int primary = Code & 0xff;
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) throw EDatabaseBusy(Message);
  throw EDatabaseError(Message);
}

void Exec(QSqlQuery& Query) {
  Check(Query, Query.exec());
}

void Exec(QSqlQuery& Query, const QString& Sql) {
  Check(Query, Query.exec(Sql));
}
