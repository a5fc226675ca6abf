#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Anyone of the group may take a lock file another made, whatever the maker's umask.
constexpr mode_t LockMode = 0660;

QString SystemError() {
  return QString::fromLocal8Bit(std::strerror(errno));
}

// Opened as it is where it is there: in a shared sticky folder (/tmp) the kernel may refuse to
// open another user's file with O_CREAT. Made afresh only where it is not.
int OpenLockFile(const QByteArray& Path) {
  constexpr int Flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  const int fd = ::open(Path.constData(), Flags);
  if (fd >= 0 || errno != ENOENT) return fd;
  const int made = ::open(Path.constData(), Flags | O_CREAT | O_EXCL, LockMode);
  return made >= 0 || errno != EEXIST ? made : ::open(Path.constData(), Flags);
}

// The group of the file it guards, so that whoever may use that file may take its lock, though
// the lock's folder gives new files the maker's own group.
void ShareWithGroupOf(int Fd, const struct stat& Lock, const QString& GroupOf) {
  if (Lock.st_uid != ::geteuid()) return;
  ::fchmod(Fd, LockMode);
  struct stat guarded {};
  if (GroupOf.isEmpty() || ::stat(GroupOf.toLocal8Bit().constData(), &guarded) != 0 || guarded.st_gid == Lock.st_gid) return;
  // Where this user may not give it, it stays its own group's, who may take it all the same.
  if (::fchown(Fd, static_cast<uid_t>(-1), guarded.st_gid) != 0) return;
}

}  // namespace

// Read-only suffices for flock. A link, a pipe or a folder in the lock's place is refused, not
// followed or waited on: a member of the group could put one there.
TRunLock::TRunLock(const QString& Path, const QString& GroupOf) {
  const int fd = OpenLockFile(Path.toLocal8Bit());
  if (fd < 0) {
    Reason = SystemError();
    return;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    Reason = QStringLiteral("not a plain file");
  } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ShareWithGroupOf(fd, status, GroupOf);
    // A mark others can look at without taking the lock (RunLockHeld); without it the lock
    // works the same, and a check only cannot tell a visit under way.
    struct flock mark {};
    mark.l_type = F_RDLCK;
    mark.l_whence = SEEK_SET;
    (void)::fcntl(fd, F_OFD_SETLK, &mark);
    Fd = fd;
    return;
  } else if (errno != EWOULDBLOCK) {
    Reason = SystemError();
  }
  ::close(fd);
}

TRunLock::~TRunLock() {
  if (Fd >= 0) ::close(Fd);
}

// Taking the lock, even shared and for a moment, could make a run that starts then stop as if
// another held it: the mark is only looked at.
bool RunLockHeld(const QString& Path) {
  const int fd = ::open(Path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return held;
}
