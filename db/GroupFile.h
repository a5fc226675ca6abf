#pragma once

#include <QByteArray>
#include <QString>

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

// Mode of logs.mdb: its owner and one group read and write it, nobody else.
constexpr mode_t DatabaseFileMode = 0660;

// Gives the open file that is to become a logs.mdb in Folder DatabaseFileMode and the group
// the service and its members share, and returns that group: Folder's when it is
// set-group-ID, else SharedFolder's (the data folder; empty: Folder itself) when this user may
// give it, else the creator's. Entries of Folder's default access-control list that the file
// took at its creation keep working under that mode. Raises EDatabaseError.
gid_t GiveDatabaseGroup(int Fd, const QString& Folder, const QString& SharedFolder);

// Raises EDatabaseError: What, then the reason errno holds.
[[noreturn]] void FailWithErrno(const char* What);
