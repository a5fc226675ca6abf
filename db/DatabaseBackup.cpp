#include "DatabaseBackup.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "DiskSync.h"
#include "Errors.h"
#include "GroupFile.h"
#include "SqlExec.h"

namespace {

using TConnection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

[[noreturn]] void Fail(sqlite3* Db, int Code) {
  RaiseDatabaseError(Code, Db != nullptr ? sqlite3_errmsg(Db) : "out of memory");
}

TConnection Open(const QByteArray& Path, int Flags, int BusyTimeoutMs) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(Path.constData(), &raw, Flags, nullptr);
  TConnection db(raw, &sqlite3_close);
  if (opened != SQLITE_OK) Fail(raw, opened);
  sqlite3_busy_timeout(raw, BusyTimeoutMs);
  return db;
}

using TStatement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

TStatement Prepare(sqlite3* Db, const char* Sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(Db, Sql, -1, &raw, nullptr) != SQLITE_OK) Fail(Db, sqlite3_errcode(Db));
  return TStatement(raw, &sqlite3_finalize);
}

void CheckIntegrity(sqlite3* Db) {
  const TStatement check = Prepare(Db, "PRAGMA integrity_check");
  const int step = sqlite3_step(check.get());
  if (step != SQLITE_ROW) Fail(Db, step);
  const std::string verdict = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
  if (verdict != "ok") throw EDatabaseError("the copy fails integrity_check: " + verdict);
}

// VACUUM INTO reads one committed state under a read transaction, which never holds a writer
// back, and writes a file in rollback-journal mode: a copy that a reader opens in a folder it
// may not write. Both connections are closed before the copy is synced.
void WriteCopy(const QByteArray& Source, const QByteArray& Copy, int BusyTimeoutMs) {
  {
    const TConnection from = Open(Source, SQLITE_OPEN_READONLY, BusyTimeoutMs);
    const TStatement vacuum = Prepare(from.get(), "VACUUM INTO ?1");
    sqlite3_bind_text(vacuum.get(), 1, Copy.constData(), static_cast<int>(Copy.size()), SQLITE_TRANSIENT);
    const int step = sqlite3_step(vacuum.get());
    if (step != SQLITE_DONE) Fail(from.get(), step);
  }
  const TConnection copy = Open(Copy, SQLITE_OPEN_READONLY, BusyTimeoutMs);
  CheckIntegrity(copy.get());
}

// A link that leads nowhere is there too: a rename would replace it.
bool Exists(const QByteArray& Path) {
  struct stat entry {};
  return ::lstat(Path.constData(), &entry) == 0;
}

}  // namespace

TBackupWrite BackupDatabase(const QString& Source, const QString& Target, bool Replace, int BusyTimeoutMs) {
  const QByteArray target = QFile::encodeName(QFileInfo(Target).absoluteFilePath());
  const QByteArray folder = QFile::encodeName(QFileInfo(Target).absolutePath());
  if (!Replace && Exists(target)) return TBackupWrite::AlreadyThere;
  // Not FILE's name with more around it: a name near the longest allowed would have no room.
  QByteArray temporary = folder + "/.quillmere-backup.XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) FailWithErrno("creating a file in the back-up's folder");
  TUnfinishedFile unfinished(temporary);
  {
    const TDescriptor file(fd);
    GiveFolderGroup(file.Fd, QFile::encodeName(QFileInfo(Source).absolutePath()), BackupFileMode);
  }
  WriteCopy(QFile::encodeName(Source), temporary, BusyTimeoutMs);
  SyncClosedFile(QFile::decodeName(temporary));
  if (Replace) {
    if (::rename(temporary.constData(), target.constData()) != 0) FailWithErrno("renaming the copy");
  } else if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return TBackupWrite::AlreadyThere;
    FailWithErrno("renaming the copy");
  }
  unfinished.Finish();
  SyncFolder(QFile::decodeName(folder));
  return TBackupWrite::Written;
}
