#include "GroupFile.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "Errors.h"

void FailWithErrno(const char* What) {
  throw EDatabaseError(std::string(What) + ": " + std::strerror(errno));
}

TDescriptor::~TDescriptor() {
  ::close(Fd);
}

TUnfinishedFile::~TUnfinishedFile() {
  if (!Finished) ::unlink(Path.constData());
}

// A folder without the set-group-ID bit gives new files the creator's group.
void GiveFolderGroup(int Fd, const QByteArray& Folder, mode_t Mode) {
  struct stat folder {};
  struct stat file {};
  if (::stat(Folder.constData(), &folder) != 0) FailWithErrno("its folder");
  if (::fchmod(Fd, Mode) != 0) FailWithErrno("setting its mode");
  if (::fstat(Fd, &file) != 0) FailWithErrno("reading its group");
  if (file.st_gid != folder.st_gid && ::fchown(Fd, static_cast<uid_t>(-1), folder.st_gid) != 0)
    FailWithErrno("giving it its folder's group");
}

namespace {

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

}  // namespace

// The mode also sets the mask of an access-control list inherited from the folder, so its
// named entries (a read-only monitor's) give what they say.
gid_t GiveDatabaseGroup(int Fd, const QString& Folder, const QString& SharedFolder) {
  const QByteArray folder = QFile::encodeName(Folder);
  const gid_t group = GroupFor(folder, SharedFolder.isEmpty() ? folder : QFile::encodeName(SharedFolder));
  struct stat file {};
  if (::fchmod(Fd, DatabaseFileMode) != 0) FailWithErrno("setting its mode");
  if (::fstat(Fd, &file) != 0) FailWithErrno("reading its group");
  if (file.st_gid != group && ::fchown(Fd, static_cast<uid_t>(-1), group) != 0) FailWithErrno("giving it its group");
  return group;
}
