#include "LogConnection.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QUrl>

#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "AccessRefusal.h"
#include "DatabaseFile.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
#include "SqlExec.h"

namespace {

TAccessNeed NeedOf(TFileUse Use) {
  return Use == TFileUse::Write ? TAccessNeed::ReadWrite : TAccessNeed::Read;
}

bool Writable(const QString& Path) {
  return ::access(QFile::encodeName(Path).constData(), W_OK) == 0;
}

// A read-only connection that is the last to close leaves the -wal and -shm of a write-ahead
// log behind; one that may write removes them, and reads all the same.
bool MayTidy(const QString& Path) {
  return Writable(Path) && Writable(QFileInfo(Path).absolutePath());
}

// mode=ro/rw: SQLite would otherwise make an empty file where logs.mdb has gone meanwhile.
QString UriQuery(const QString& Path, TFileUse Use) {
  switch (Use) {
    case TFileUse::Write: return QStringLiteral("?mode=rw");
    case TFileUse::Read: return MayTidy(Path) ? QStringLiteral("?mode=rw") : QStringLiteral("?mode=ro");
    case TFileUse::ReadOnly: return QStringLiteral("?mode=ro");
    case TFileUse::ReadUnchanging: return QStringLiteral("?mode=ro&immutable=1");
  }
  return QStringLiteral("?mode=ro");
}

// SQLite's refusal to open or read the file at all, Code being its result code and Said its
// message, in the words every way in uses.
[[noreturn]] void RefuseDatabase(const QString& Path, TAccessNeed Need, int Code, const QString& Said) {
  switch (Code & 0xFF) {
    case SQLITE_NOTADB:
      throw EDatabaseOpenError(TOpenFailure::Unusable, QStringLiteral("not an SQLite database (a file of another kind)"));
    case SQLITE_CORRUPT: RaiseDatabaseError(Code, Said.toStdString());
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY: {
      const QString refusal = AccessRefusal(Path, Need);
      throw EDatabaseOpenError(TOpenFailure::Unwritable, refusal.isEmpty() ? Said : refusal);
    }
    default: throw EDatabaseOpenError(TOpenFailure::Unusable, Said);
  }
}

// SQLite would open a file whose folder it cannot write without a word, and the first write
// would fail: the folder takes the journal, and a run's lock.
void RequireFolderWritable(const QString& Path) {
  const QString folder = QFileInfo(Path).absolutePath();
  if (Writable(folder)) return;
  const int error = errno;
  const QString said = QStringLiteral("%1 cannot be written: %2").arg(folder, QString::fromLocal8Bit(std::strerror(error)));
  const QString refusal = error == EACCES ? AccessRefusal(Path, TAccessNeed::ReadWrite) : QString();
  throw EDatabaseOpenError(TOpenFailure::Unwritable, refusal.isEmpty() ? said : refusal);
}

// Opening reads nothing: a file that is no database, or whose first page is damaged, shows
// only at the first statement.
void ReadSchema(sqlite3* Db, const QString& Path, TAccessNeed Need) {
  sqlite3_stmt* probe = nullptr;
  int code = sqlite3_prepare_v2(Db, "SELECT count(*) FROM sqlite_master", -1, &probe, nullptr);
  if (code == SQLITE_OK) code = sqlite3_step(probe);
  const QString said = QString::fromUtf8(sqlite3_errmsg(Db));
  sqlite3_finalize(probe);
  if (code != SQLITE_ROW) RefuseDatabase(Path, Need, code, said);
}

}  // namespace

TLogConnection::TLogConnection(QString AName, const QString& Path, TFileUse Use, int BusyTimeoutMs) : Name(std::move(AName)) {
  try {
    Open(QFileInfo(Path).absoluteFilePath(), Use, BusyTimeoutMs);
  } catch (...) {
    Close();
    throw;
  }
}

TLogConnection::~TLogConnection() {
  Close();
}

void TLogConnection::Open(const QString& Path, TFileUse Use, int BusyTimeoutMs) {
  RequireDatabaseFile(Path, NeedOf(Use));
  if (Use == TFileUse::Write) RequireFolderWritable(Path);
  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
  db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
  db.setDatabaseName(QUrl::fromLocalFile(Path).toString(QUrl::FullyEncoded) + UriQuery(Path, Use));
  if (!db.open()) RefuseDatabase(Path, NeedOf(Use), db.lastError().nativeErrorCode().toInt(), db.lastError().text());
  ReadSchema(NativeHandle(db), Path, NeedOf(Use));
}

void TLogConnection::Close() {
  {
    QSqlDatabase db = QSqlDatabase::database(Name, false);
    db.close();
  }
  QSqlDatabase::removeDatabase(Name);
}

QSqlDatabase TLogConnection::Db() const {
  return QSqlDatabase::database(Name, false);
}

sqlite3* TLogConnection::Native() const {
  return NativeHandle(Db());
}
