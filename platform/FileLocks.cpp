#include "FileLocks.h"

#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; a waiting lock has "->" after the number.
bool ParseLine(const char* Line, const struct stat& File, TFileLock& Lock) {
  char kind[16] = {};
  int pid = 0;
  unsigned major = 0;
  unsigned minor = 0;
  unsigned long inode = 0;
  if (std::sscanf(Line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &major, &minor, &inode) != 5) return false;
  if (inode != File.st_ino || makedev(major, minor) != File.st_dev) return false;
  const QByteArray type(kind);
  if (type == "FLOCK") Lock = {TFileLock::TKind::Whole, pid};
  else if (type == "POSIX") Lock = {TFileLock::TKind::Range, pid};
  else return false;
  return true;
}

}  // namespace

std::vector<TFileLock> LocksOfOthers(const QString& Path) {
  std::vector<TFileLock> locks = FileLocks(Path);
  std::erase_if(locks, [](const TFileLock& Lock) { return Lock.Pid == ::getpid(); });
  return locks;
}

std::vector<TFileLock> FileLocks(const QString& Path) {
  std::vector<TFileLock> locks;
  struct stat file {};
  if (::stat(QFile::encodeName(Path).constData(), &file) != 0) return locks;
  std::FILE* list = std::fopen("/proc/locks", "re");
  if (list == nullptr) return locks;
  char line[256];
  while (std::fgets(line, sizeof line, list) != nullptr) {
    if (std::strstr(line, "->") != nullptr) continue;
    TFileLock lock{};
    if (ParseLine(line, file, lock)) locks.push_back(lock);
  }
  std::fclose(list);
  return locks;
}

QStringList ProcessArguments(pid_t Pid) {
  QFile file(QStringLiteral("/proc/%1/cmdline").arg(Pid));
  if (!file.open(QIODevice::ReadOnly)) return {};
  QStringList arguments;
  for (const QByteArray& argument : file.readAll().split('\0')) {
    if (!argument.isEmpty()) arguments << QFile::decodeName(argument);
  }
  return arguments;
}
