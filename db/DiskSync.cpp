#include "DiskSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Errors.h"

namespace {

class TFileHandle {
 public:
  explicit TFileHandle(int AFd) : Fd(AFd) {}
  ~TFileHandle() {
    if (Fd >= 0) ::close(Fd);
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  int Get() const { return Fd; }

 private:
  int Fd;
};

[[noreturn]] void Fail(const char* Step, const QString& Path) {
  throw EDatabaseError(std::string("cannot ") + Step + " " + Path.toStdString() + ": " + std::strerror(errno));
}

}  // namespace

void SyncToDisk(const QString& Path, bool MayBeMissing) {
  const TFileHandle file(::open(Path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) {
    if (MayBeMissing && errno == ENOENT) return;
    Fail("open", Path);
  }
  if (::fsync(file.Get()) != 0) Fail("sync", Path);
}
