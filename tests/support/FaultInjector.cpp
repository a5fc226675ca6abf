// Preloaded into the program by the failure sweep: counts the calls that change logs.mdb, its
// companions and its folder on the disk, and makes one of them fail.
//   QUILLMERE_FAULT_AT=N         the Nth such call fails (none when unset or 0)
//   QUILLMERE_FAULT_ERRNO=NAME   ENOSPC or EIO (the default)
//   QUILLMERE_FAULT_REPORT=FILE  at exit: the number of such calls, then the failed call, if any
// The file behind a descriptor is read from /proc at each call: no open or close to track, and
// a descriptor that is duplicated or reused after close is still named right; it costs about
// 3 µs a call, a few milliseconds a run.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t PathSize = 4096;
std::atomic<long> Calls{0};
std::atomic<long> FolderSyncs{0};  // the program's own fsync of logs.mdb's folder, which a clear must follow
long FaultAt = 0;
int FaultErrno = EIO;
char FailedCall[PathSize + 32] = "";

bool IsLogFile(const char* Path) {
  const char* slash = std::strrchr(Path, '/');
  const char* name = slash == nullptr ? Path : slash + 1;
  for (const char* logName : {"logs.mdb", "logs.mdb-wal", "logs.mdb-journal", "logs.mdb-shm"}) {
    if (std::strcmp(name, logName) == 0) return true;
  }
  return false;
}

// A folder sync makes a created or deleted journal's name durable: it counts where the
// folder holds a logs.mdb.
bool IsLogFolder(int Fd, const char* Path) {
  struct stat status {};
  char file[PathSize + 16];
  std::snprintf(file, sizeof file, "%s/logs.mdb", Path);
  return ::fstat(Fd, &status) == 0 && S_ISDIR(status.st_mode) && ::access(file, F_OK) == 0;
}

// No allocation here: write may be called from a signal handler.
void PathOf(int Fd, char (&Path)[PathSize]) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", Fd);
  const ssize_t length = ::readlink(link, Path, PathSize - 1);
  Path[length > 0 ? length : 0] = '\0';
}

// Counts one call; true when it is the one to fail, with errno set.
bool Fails(const char* Call, const char* Path) {
  const long number = ++Calls;
  if (number != FaultAt) return false;
  std::snprintf(FailedCall, sizeof FailedCall, "%s on %s", Call, Path);
  errno = FaultErrno;
  return true;
}

bool FailsOn(const char* Call, int Fd, bool FolderToo = false) {
  const int saved = errno;
  char path[PathSize];
  PathOf(Fd, path);
  const bool folder = FolderToo && IsLogFolder(Fd, path);
  const bool counted = IsLogFile(path) || folder;
  if (folder && std::strcmp(Call, "fsync") == 0) ++FolderSyncs;
  errno = saved;
  return counted && Fails(Call, path);
}

template <typename Function>
Function Next(const char* Name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, Name));
}

__attribute__((constructor)) void ReadSettings() {
  if (const char* at = std::getenv("QUILLMERE_FAULT_AT")) FaultAt = std::atol(at);
  if (const char* name = std::getenv("QUILLMERE_FAULT_ERRNO")) FaultErrno = std::strcmp(name, "ENOSPC") == 0 ? ENOSPC : EIO;
}

__attribute__((destructor)) void WriteReport() {
  const char* path = std::getenv("QUILLMERE_FAULT_REPORT");
  if (path == nullptr) return;
  if (FILE* report = std::fopen(path, "w")) {
    std::fprintf(report, "%ld\n%s\n%ld\n", Calls.load(), FailedCall, FolderSyncs.load());
    std::fclose(report);
  }
}

}  // namespace

extern "C" {

ssize_t write(int Fd, const void* Buffer, size_t Count) {
  static const auto real = Next<decltype(&write)>("write");
  return FailsOn("write", Fd) ? -1 : real(Fd, Buffer, Count);
}

ssize_t pwrite(int Fd, const void* Buffer, size_t Count, off_t Offset) {
  static const auto real = Next<decltype(&pwrite)>("pwrite");
  return FailsOn("pwrite", Fd) ? -1 : real(Fd, Buffer, Count, Offset);
}

ssize_t pwrite64(int Fd, const void* Buffer, size_t Count, off64_t Offset) {
  static const auto real = Next<decltype(&pwrite64)>("pwrite64");
  return FailsOn("pwrite64", Fd) ? -1 : real(Fd, Buffer, Count, Offset);
}

ssize_t writev(int Fd, const struct iovec* Vector, int Count) {
  static const auto real = Next<decltype(&writev)>("writev");
  return FailsOn("writev", Fd) ? -1 : real(Fd, Vector, Count);
}

int ftruncate(int Fd, off_t Length) {
  static const auto real = Next<decltype(&ftruncate)>("ftruncate");
  return FailsOn("ftruncate", Fd) ? -1 : real(Fd, Length);
}

int ftruncate64(int Fd, off64_t Length) {
  static const auto real = Next<decltype(&ftruncate64)>("ftruncate64");
  return FailsOn("ftruncate64", Fd) ? -1 : real(Fd, Length);
}

int fsync(int Fd) {
  static const auto real = Next<decltype(&fsync)>("fsync");
  return FailsOn("fsync", Fd, true) ? -1 : real(Fd);
}

int fdatasync(int Fd) {
  static const auto real = Next<decltype(&fdatasync)>("fdatasync");
  return FailsOn("fdatasync", Fd, true) ? -1 : real(Fd);
}

int rename(const char* From, const char* To) {
  static const auto real = Next<decltype(&rename)>("rename");
  const bool counted = IsLogFile(From) || IsLogFile(To);
  return counted && Fails("rename", To) ? -1 : real(From, To);
}

}  // extern "C"
