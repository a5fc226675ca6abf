#include "SqlExec.h"

#include <QSqlError>
#include <QSqlQuery>

#include "Errors.h"

namespace {

void Check(const QSqlQuery& Query, bool Ok) {
  if (!Ok) throw EDatabaseError(Query.lastError().text().toStdString());
}

}  // namespace

void Exec(QSqlQuery& Query) {
  Check(Query, Query.exec());
}

void Exec(QSqlQuery& Query, const QString& Sql) {
  Check(Query, Query.exec(Sql));
}
