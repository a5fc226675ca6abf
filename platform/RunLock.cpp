#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TRunLock::TRunLock(const QString& Path) {
  // Read-only suffices for flock, so any member of the group may take a lock file another made.
  const int fd = ::open(Path.toLocal8Bit().constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0664);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return;
  }
  Fd = fd;
}

TRunLock::~TRunLock() {
  if (Fd >= 0) ::close(Fd);
}
