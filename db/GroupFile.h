#pragma once

#include <QByteArray>

#include <sys/types.h>

// A descriptor closed with the object.
class TDescriptor {
 public:
  explicit TDescriptor(int AFd) : Fd(AFd) {}
  ~TDescriptor();
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  const int Fd;
};

// Removes the file at Path unless Finish was called.
class TUnfinishedFile {
 public:
  explicit TUnfinishedFile(QByteArray APath) : Path(std::move(APath)) {}
  ~TUnfinishedFile();
  TUnfinishedFile(const TUnfinishedFile&) = delete;
  TUnfinishedFile& operator=(const TUnfinishedFile&) = delete;
  void Finish() { Finished = true; }

 private:
  QByteArray Path;
  bool Finished = false;
};

// Gives the open file Mode and the group of Folder, whatever the umask and whoever made it, so
// the group that shares logs.mdb shares this file too and nobody else reads it. Raises
// EDatabaseError naming the step that failed.
void GiveFolderGroup(int Fd, const QByteArray& Folder, mode_t Mode);

// Raises EDatabaseError: What, then the reason errno holds.
[[noreturn]] void FailWithErrno(const char* What);
