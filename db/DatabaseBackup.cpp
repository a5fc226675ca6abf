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

// A step the busy handler cannot cover (the back-up's own) is tried again this often.
constexpr int BusyRetryMs = 50;

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

void Execute(sqlite3* Db, const char* Sql) {
  const int result = sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) Fail(Db, result);
}

// All pages in one step: a step that spans the source's writes would start over after each.
void CopyPages(sqlite3* From, sqlite3* To, int BusyTimeoutMs) {
  sqlite3_backup* backup = sqlite3_backup_init(To, "main", From, "main");
  if (backup == nullptr) Fail(To, sqlite3_errcode(To));
  int step = SQLITE_OK;
  for (int waitedMs = 0;; waitedMs += BusyRetryMs) {
    step = sqlite3_backup_step(backup, -1);
    if ((step != SQLITE_BUSY && step != SQLITE_LOCKED) || waitedMs >= BusyTimeoutMs) break;
    sqlite3_sleep(BusyRetryMs);
  }
  const int finished = sqlite3_backup_finish(backup);
  if (step != SQLITE_DONE) RaiseDatabaseError(step, sqlite3_errstr(step));
  if (finished != SQLITE_OK) Fail(To, finished);
}

void CheckIntegrity(sqlite3* Db) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(Db, "PRAGMA integrity_check", -1, &raw, nullptr) != SQLITE_OK) Fail(Db, sqlite3_errcode(Db));
  const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> check(raw, &sqlite3_finalize);
  const int step = sqlite3_step(raw);
  if (step != SQLITE_ROW) Fail(Db, step);
  const std::string verdict = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
  if (verdict != "ok") throw EDatabaseError("the copy fails integrity_check: " + verdict);
}

// The copy has no journal of its own: until it is renamed it is nobody's database, and a
// failure removes it whole. Both connections are closed before the copy is synced.
void WriteCopy(const QByteArray& Source, const QByteArray& Copy, int BusyTimeoutMs) {
  const TConnection from = Open(Source, SQLITE_OPEN_READONLY, BusyTimeoutMs);
  const TConnection to = Open(Copy, SQLITE_OPEN_READWRITE, BusyTimeoutMs);
  Execute(to.get(), "PRAGMA journal_mode=OFF");
  Execute(to.get(), "PRAGMA synchronous=OFF");
  CopyPages(from.get(), to.get(), BusyTimeoutMs);
  CheckIntegrity(to.get());
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
  QByteArray temporary = folder + "/." + QFile::encodeName(QFileInfo(Target).fileName()) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) FailWithErrno("creating a file in the back-up's folder");
  TUnfinishedFile unfinished(temporary);
  {
    const TDescriptor file(fd);
    GiveFolderGroup(file.Fd, QFile::encodeName(QFileInfo(Source).absolutePath()), BackupFileMode);
  }
  WriteCopy(QFile::encodeName(Source), temporary, BusyTimeoutMs);
  SyncToDisk(QFile::decodeName(temporary));
  if (Replace) {
    if (::rename(temporary.constData(), target.constData()) != 0) FailWithErrno("renaming the copy");
  } else if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return TBackupWrite::AlreadyThere;
    FailWithErrno("renaming the copy");
  }
  unfinished.Finish();
  SyncToDisk(QFile::decodeName(folder));
  return TBackupWrite::Written;
}
