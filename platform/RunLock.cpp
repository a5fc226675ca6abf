#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A byte far past any SQLite locks (theirs lie at 1 GiB): a lock there meets none of theirs.
constexpr off_t MarkOffset = 0x7FFF0000;

struct flock MarkRange(short Type) {
  struct flock range {};
  range.l_type = Type;
  range.l_whence = SEEK_SET;
  range.l_start = MarkOffset;
  range.l_len = 1;
  return range;
}

}  // namespace

// Read-only suffices for flock. A pipe or a folder in the file's place is refused, not waited on.
TRunLock::TRunLock(const QString& Path) {
  const int fd = ::open(Path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    Reason = QString::fromLocal8Bit(std::strerror(errno));
    return;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    Reason = QStringLiteral("not a plain file");
  } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // A mark others can look at without taking the lock (RunLockHeld); without it the lock
    // works the same, and a check only cannot tell a visit under way. The descriptor's own,
    // so that no other descriptor's close drops it.
    struct flock mark = MarkRange(F_RDLCK);
    (void)::fcntl(fd, F_OFD_SETLK, &mark);
    Fd = fd;
    return;
  } else if (errno != EWOULDBLOCK) {
    Reason = QString::fromLocal8Bit(std::strerror(errno));
  }
  ::close(fd);
}

TRunLock::~TRunLock() {
  if (Fd >= 0) ::close(Fd);
}

bool RunLockHeld(const QString& Path) {
  return TRunLockLook(Path).Held();
}

TRunLockLook::TRunLockLook(const QString& Path) : Fd(::open(Path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}

TRunLockLook::~TRunLockLook() {
  if (Fd >= 0) ::close(Fd);
}

// Taking the lock, even for a moment, could make a run that starts then stop as if another
// held it: the mark is only looked at.
bool TRunLockLook::Held() const {
  if (Fd < 0) return false;
  struct flock probe = MarkRange(F_WRLCK);
  return ::fcntl(Fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}
