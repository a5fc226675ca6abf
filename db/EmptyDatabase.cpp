#include "EmptyDatabase.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "Errors.h"
#include "Schema.h"

namespace {

constexpr mode_t GroupFileMode = 0660;

[[noreturn]] void FailWithErrno(const char* What) {
  throw EDatabaseError(std::string(What) + ": " + std::strerror(errno));
}

class TDescriptor {
 public:
  explicit TDescriptor(int AFd) : Fd(AFd) {}
  ~TDescriptor() { ::close(Fd); }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  const int Fd;
};

// Removes the file unless it was finished.
class TUnfinishedFile {
 public:
  explicit TUnfinishedFile(QByteArray APath) : Path(std::move(APath)) {}
  ~TUnfinishedFile() {
    if (!Finished) ::unlink(Path.constData());
  }
  TUnfinishedFile(const TUnfinishedFile&) = delete;
  TUnfinishedFile& operator=(const TUnfinishedFile&) = delete;
  void Finish() { Finished = true; }

 private:
  QByteArray Path;
  bool Finished = false;
};

// A folder without the set-group-ID bit gives new files the creator's group.
void TakeModeAndGroup(int Fd, const QByteArray& Folder) {
  struct stat folder {};
  struct stat file {};
  if (::stat(Folder.constData(), &folder) != 0) FailWithErrno("its folder");
  if (::fchmod(Fd, GroupFileMode) != 0) FailWithErrno("setting its mode");
  if (::fstat(Fd, &file) != 0) FailWithErrno("reading its group");
  if (file.st_gid != folder.st_gid && ::fchown(Fd, static_cast<uid_t>(-1), folder.st_gid) != 0)
    FailWithErrno("giving it its folder's group");
}

void WriteSchema(const QByteArray& Path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(Path.constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  if (opened != SQLITE_OK) throw EDatabaseError(raw != nullptr ? sqlite3_errmsg(raw) : "out of memory");
  const std::string script = std::string("BEGIN;\n") + LogDatabaseSchema + "\nCOMMIT;";
  char* error = nullptr;
  if (sqlite3_exec(db.get(), script.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : sqlite3_errmsg(db.get());
    sqlite3_free(error);
    throw EDatabaseError(reason);
  }
}

}  // namespace

TCreation CreateEmptyDatabase(const QString& Path) {
  const QByteArray path = QFile::encodeName(Path);
  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, GroupFileMode);
  if (fd < 0) {
    if (errno == EEXIST) return TCreation::AlreadyThere;
    FailWithErrno("creating it");
  }
  TUnfinishedFile unfinished(path);
  {
    const TDescriptor file(fd);
    TakeModeAndGroup(file.Fd, QFile::encodeName(QFileInfo(Path).absolutePath()));
  }
  WriteSchema(path);
  unfinished.Finish();
  return TCreation::Created;
}
