#pragma once

#include <QString>

// An exclusive lock on a file, held for the object's lifetime. The kernel drops it when the
// process ends in any way, a kill included, so a crashed run never blocks the next one.
class TRunLock {
 public:
  explicit TRunLock(const QString& Path);
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

  bool Held() const { return Fd >= 0; }

 private:
  int Fd = -1;
};
