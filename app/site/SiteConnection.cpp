#include "SiteConnection.h"

#include <QSqlQuery>

#include <atomic>

#include "LogDatabase.h"
#include "SqlExec.h"

namespace {

QString NewConnectionName() {
  static std::atomic<int> Counter{0};
  return QStringLiteral("site-%1").arg(++Counter);
}

}  // namespace

TSiteConnection::TSiteConnection(const QString& DatabasePath, TAccess Access)
    : Connection(NewConnectionName(), DatabasePath, Access == TAccess::Read ? TFileUse::Read : TFileUse::Write, DefaultBusyTimeoutMs) {}

QSqlDatabase TSiteConnection::Db() const {
  return Connection.Db();
}

sqlite3* TSiteConnection::Native() const {
  return Connection.Native();
}

bool TSiteConnection::HasTable(const QString& Table) const {
  QSqlQuery query(Db());
  query.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND lower(name) = lower(?)"));
  query.addBindValue(Table);
  Exec(query);
  return query.next();
}
