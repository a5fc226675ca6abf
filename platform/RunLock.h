#pragma once

#include <QString>

// An exclusive lock on a file, held for the object's lifetime. The kernel drops it when the
// process ends in any way, a kill included, so a crashed run never blocks the next one.
class TRunLock {
 public:
  // GroupOf: the file the lock guards; a lock file this user made gets its group.
  explicit TRunLock(const QString& Path, const QString& GroupOf = {});
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

  bool Held() const { return Fd >= 0; }
  // Why the lock could not even be tried (not a plain file, no access); empty when another
  // holder is all that kept it.
  const QString& Failure() const { return Reason; }

 private:
  int Fd = -1;
  QString Reason;
};

// Whether a live process holds the TRunLock at Path, found without taking it (a reader of the
// file may ask; a run killed holds nothing).
bool RunLockHeld(const QString& Path);
