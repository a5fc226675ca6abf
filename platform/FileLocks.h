#pragma once

#include <QString>

#include <sys/types.h>

#include <vector>

// A lock another process holds on a file, as the kernel lists it in /proc/locks.
struct TFileLock {
  enum class TKind { Whole, Range } Kind;  // a flock on the whole file (a run's lock), or an fcntl range (SQLite's)
  pid_t Pid;                               // in this process's view; 0 when not visible from here
};

// The flocks and the fcntl ranges on the file at Path; open-file-description ranges, which name
// no process, are left out. Empty when the file or the list cannot be read.
std::vector<TFileLock> FileLocks(const QString& Path);
// Those of processes other than this one.
std::vector<TFileLock> LocksOfOthers(const QString& Path);

// The arguments a process was started with; empty when they cannot be read.
QStringList ProcessArguments(pid_t Pid);
