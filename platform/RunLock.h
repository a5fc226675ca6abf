#pragma once

#include <QString>

// An exclusive lock on a file itself, held for the object's lifetime: every name of the file,
// a hard link's included, meets the same lock. The kernel drops it when the process ends in
// any way, a kill included, so a crashed run never blocks the next one. It is a flock, which
// SQLite's own locks never meet; but closing its descriptor drops every POSIX lock the process
// holds on the file, so take it before any connection to the file opens and let it go after
// the last has closed.
class TRunLock {
 public:
  explicit TRunLock(const QString& Path);
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

  bool Held() const { return Fd >= 0; }
  // Why the lock could not even be tried (no such file, not a plain file, no access); empty
  // when another holder is all that kept it.
  const QString& Failure() const { return Reason; }

 private:
  int Fd = -1;
  QString Reason;
};

// Whether a live process holds the TRunLock on the file at Path, found without taking it (a
// reader of the file may ask; a run killed holds nothing). Call it with no connection to the
// file open in this process: the look's descriptor is closed again.
bool RunLockHeld(const QString& Path);

// The same look, again and again, through one descriptor held for the object's life: made
// before any connection to the file opens and gone after the last has closed, like TRunLock.
class TRunLockLook {
 public:
  explicit TRunLockLook(const QString& Path);
  ~TRunLockLook();
  TRunLockLook(const TRunLockLook&) = delete;
  TRunLockLook& operator=(const TRunLockLook&) = delete;

  bool Held() const;

 private:
  int Fd = -1;
};
