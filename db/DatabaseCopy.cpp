#include "DatabaseCopy.h"

#include <QFile>

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "DiskSync.h"
#include "Errors.h"
#include "SqlExec.h"

namespace {

[[noreturn]] void Fail(sqlite3* Db, int Code) {
  RaiseDatabaseError(Code, Db != nullptr ? sqlite3_errmsg(Db) : "out of memory");
}

using TStatement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

TStatement Prepare(sqlite3* Db, const char* Sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(Db, Sql, -1, &raw, nullptr) != SQLITE_OK) Fail(Db, sqlite3_errcode(Db));
  return TStatement(raw, &sqlite3_finalize);
}

// VACUUM INTO reads one committed state under a read transaction, which never holds a writer
// back, and writes a file in rollback-journal mode: a copy that a reader opens in a folder it
// may not write. Both connections are closed before the copy is synced.
void WriteCopy(const QByteArray& Source, const QByteArray& Copy, int BusyTimeoutMs) {
  {
    const TNativeConnection from = OpenNative(Source, SQLITE_OPEN_READONLY, BusyTimeoutMs);
    const TStatement vacuum = Prepare(from.get(), "VACUUM INTO ?1");
    sqlite3_bind_text(vacuum.get(), 1, Copy.constData(), static_cast<int>(Copy.size()), SQLITE_TRANSIENT);
    const int step = sqlite3_step(vacuum.get());
    if (step != SQLITE_DONE) Fail(from.get(), step);
  }
  const TNativeConnection copy = OpenNative(Copy, SQLITE_OPEN_READONLY, BusyTimeoutMs);
  CheckIntegrity(copy.get());
}

}  // namespace

TNativeConnection OpenNative(const QByteArray& Path, int Flags, int BusyTimeoutMs) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(Path.constData(), &raw, Flags, nullptr);
  TNativeConnection db(raw, &sqlite3_close);
  if (opened != SQLITE_OK) Fail(raw, opened);
  sqlite3_busy_timeout(raw, BusyTimeoutMs);
  return db;
}

void CheckIntegrity(sqlite3* Db) {
  const TStatement check = Prepare(Db, "PRAGMA integrity_check");
  const int step = sqlite3_step(check.get());
  if (step != SQLITE_ROW) Fail(Db, step);
  const std::string verdict = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
  if (verdict != "ok") throw EDatabaseError("it fails integrity_check: " + verdict);
}

bool EntryExists(const QByteArray& Path) {
  struct stat entry {};
  return ::lstat(Path.constData(), &entry) == 0;
}

// Not the target's name with more around it: a name near the longest allowed would have no room.
TTemporaryCopy::TTemporaryCopy(const QString& Source, const QString& Folder, const std::function<void(int Fd)>& Share,
                               int BusyTimeoutMs)
    : Temporary(QFile::encodeName(Folder) + "/.quillmere-copy.XXXXXX") {
  const int fd = ::mkostemp(Temporary.data(), O_CLOEXEC);
  if (fd < 0) FailWithErrno("creating a file in the copy's folder");
  Unfinished = std::make_unique<TUnfinishedFile>(Temporary);
  {
    const TDescriptor file(fd);
    Share(file.Fd);
  }
  WriteCopy(QFile::encodeName(Source), Temporary, BusyTimeoutMs);
  SyncClosedFile(QFile::decodeName(Temporary));
}

bool TTemporaryCopy::MoveTo(const QByteArray& Target, bool Replace) {
  if (Replace) {
    if (::rename(Temporary.constData(), Target.constData()) != 0) FailWithErrno("renaming the copy");
  } else if (::renameat2(AT_FDCWD, Temporary.constData(), AT_FDCWD, Target.constData(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return false;
    FailWithErrno("renaming the copy");
  }
  Unfinished->Finish();
  return true;
}
