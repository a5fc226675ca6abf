#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
