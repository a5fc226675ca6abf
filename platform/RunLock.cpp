#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TRunLock::TRunLock(const QString& Path) {
  const int fd = ::open(Path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
