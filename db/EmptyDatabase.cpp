#include "EmptyDatabase.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "AccessRefusal.h"
#include "Errors.h"
#include "GroupFile.h"
#include "Schema.h"

namespace {

constexpr mode_t GroupFileMode = 0660;

bool MayGiveGroup(gid_t Gid) {
  if (::geteuid() == 0 || ::getegid() == Gid) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(count, 0), Gid) != groups.begin() + std::max(count, 0);
}

// A set-group-ID folder gives every file in it its group. Elsewhere (a trial file in /tmp) the
// file gets the group the service and its members share, where this user may give it; else it
// stays the creator's.
gid_t GroupFor(const QByteArray& Folder, const QByteArray& SharedFolder) {
  struct stat folder {};
  if (::stat(Folder.constData(), &folder) != 0) FailWithErrno("its folder");
  if ((folder.st_mode & S_ISGID) != 0) return folder.st_gid;
  struct stat shared {};
  if (::stat(SharedFolder.constData(), &shared) == 0 && MayGiveGroup(shared.st_gid)) return shared.st_gid;
  return ::getegid();
}

gid_t TakeModeAndGroup(int Fd, gid_t Group) {
  struct stat file {};
  if (::fchmod(Fd, GroupFileMode) != 0) FailWithErrno("setting its mode");
  if (::fstat(Fd, &file) != 0) FailWithErrno("reading its group");
  if (file.st_gid != Group && ::fchown(Fd, static_cast<uid_t>(-1), Group) != 0) FailWithErrno("giving it its group");
  return Group;
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

TCreation CreateEmptyDatabase(const QString& Path, const QString& SharedFolder, gid_t* Group) {
  const QByteArray path = QFile::encodeName(Path);
  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, GroupFileMode);
  if (fd < 0) {
    if (errno == EEXIST) return TCreation::AlreadyThere;
    if (errno == EACCES) {
      if (const QString refusal = AccessRefusal(Path, TAccessNeed::ReadWrite); !refusal.isEmpty()) throw EDatabaseError(refusal.toStdString());
    }
    FailWithErrno("creating it");
  }
  TUnfinishedFile unfinished(path);
  {
    const TDescriptor file(fd);
    const QByteArray folder = QFile::encodeName(QFileInfo(Path).absolutePath());
    const gid_t group = TakeModeAndGroup(file.Fd, GroupFor(folder, SharedFolder.isEmpty() ? folder : QFile::encodeName(SharedFolder)));
    if (Group != nullptr) *Group = group;
  }
  WriteSchema(path);
  unfinished.Finish();
  return TCreation::Created;
}
