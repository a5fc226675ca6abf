#include "DiskSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Errors.h"

namespace {

[[noreturn]] void Fail(const std::string& Step, const std::string& Path, const std::string& Reason) {
  throw EDatabaseError("cannot " + Step + " " + Path + ": " + Reason);
}

// A journal that is not open (none made yet, or deleted at a rollback-journal commit) holds
// nothing to flush.
void SyncOpenFile(sqlite3* Db, int Pointer, const char* Which) {
  sqlite3_file* file = nullptr;
  const int found = sqlite3_file_control(Db, "main", Pointer, &file);
  if (found != SQLITE_OK) Fail("find", Which, sqlite3_errstr(found));
  if (file == nullptr || file->pMethods == nullptr) return;
  const int synced = file->pMethods->xSync(file, SQLITE_SYNC_NORMAL);
  if (synced != SQLITE_OK) Fail("sync", sqlite3_db_filename(Db, "main") + std::string(Which), sqlite3_errstr(synced));
}

class TSyncHandle {
 public:
  TSyncHandle(const QString& Path, int Flags) : Fd(::open(Path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC | Flags)) {}
  ~TSyncHandle() {
    if (Fd >= 0) ::close(Fd);
  }
  TSyncHandle(const TSyncHandle&) = delete;
  TSyncHandle& operator=(const TSyncHandle&) = delete;
  int Get() const { return Fd; }

 private:
  int Fd;
};

}  // namespace

// The log first: a checkpoint may have moved frames into the file, which is synced after it.
void SyncConnectionFiles(sqlite3* Db) {
  SyncOpenFile(Db, SQLITE_FCNTL_JOURNAL_POINTER, "-wal or -journal");
  SyncOpenFile(Db, SQLITE_FCNTL_FILE_POINTER, "");
}

namespace {

void SyncPath(const QString& Path, int Flags) {
  const TSyncHandle handle(Path, Flags);
  if (handle.Get() < 0) Fail("open", Path.toStdString(), std::strerror(errno));
  if (::fsync(handle.Get()) != 0) Fail("sync", Path.toStdString(), std::strerror(errno));
}

}  // namespace

void SyncFolder(const QString& Path) {
  SyncPath(Path, O_DIRECTORY);
}

void SyncClosedFile(const QString& Path) {
  SyncPath(Path, 0);
}
