#include "SiteConnection.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <unistd.h>

#include <atomic>

#include "DatabaseFile.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
#include "SqlExec.h"

namespace {

QString NewConnectionName() {
  static std::atomic<int> Counter{0};
  return QStringLiteral("site-%1").arg(++Counter);
}

// A read-only connection that is the last to close leaves the -wal and -shm of a write-ahead
// log behind; one that may write removes them, as a run does, and reads all the same.
bool MayTidy(const QString& Path) {
  return ::access(QFile::encodeName(Path).constData(), W_OK) == 0 &&
         ::access(QFile::encodeName(QFileInfo(Path).absolutePath()).constData(), W_OK) == 0;
}

}  // namespace

TSiteConnection::TSiteConnection(const QString& DatabasePath, TAccess Access) : Name(NewConnectionName()) {
  RequireDatabaseFile(DatabasePath, Access == TAccess::Read ? TAccessNeed::Read : TAccessNeed::ReadWrite);
  try {
    Open(DatabasePath, Access);
  } catch (...) {
    Close();
    throw;
  }
}

TSiteConnection::~TSiteConnection() {
  Close();
}

void TSiteConnection::Open(const QString& DatabasePath, TAccess Access) {
  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
  db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(DefaultBusyTimeoutMs));
  // mode=ro/rw: SQLite would otherwise make an empty file where logs.mdb has gone meanwhile.
  const QString mode = Access == TAccess::Read && !MayTidy(DatabasePath) ? QStringLiteral("?mode=ro") : QStringLiteral("?mode=rw");
  db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(DatabasePath).absoluteFilePath()).toString(QUrl::FullyEncoded) + mode);
  if (!db.open()) throw EDatabaseOpenError(TOpenFailure::Unusable, db.lastError().text());
  // Opening reads nothing: a file that is no database shows at its first statement.
  QSqlQuery probe(db);
  if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
    throw EDatabaseOpenError(TOpenFailure::Unusable, probe.lastError().text());
  }
}

void TSiteConnection::Close() {
  {
    QSqlDatabase db = QSqlDatabase::database(Name, false);
    db.close();
  }
  QSqlDatabase::removeDatabase(Name);
}

QSqlDatabase TSiteConnection::Db() const {
  return QSqlDatabase::database(Name, false);
}

sqlite3* TSiteConnection::Native() const {
  return NativeHandle(Db());
}

bool TSiteConnection::HasTable(const QString& Table) const {
  QSqlQuery query(Db());
  query.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND lower(name) = lower(?)"));
  query.addBindValue(Table);
  Exec(query);
  return query.next();
}

TSiteTransaction::TSiteTransaction(const TSiteConnection& AConnection) : Connection(AConnection) {
  QSqlQuery begin(Connection.Db());
  Exec(begin, QStringLiteral("BEGIN IMMEDIATE"));
}

TSiteTransaction::~TSiteTransaction() {
  if (Committed) return;
  QSqlQuery rollback(Connection.Db());
  rollback.exec(QStringLiteral("ROLLBACK"));
}

void TSiteTransaction::Commit() {
  QSqlQuery commit(Connection.Db());
  Exec(commit, QStringLiteral("COMMIT"));
  Committed = true;
}
