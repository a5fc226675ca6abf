#include "GroupFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Errors.h"

void FailWithErrno(const char* What) {
  throw EDatabaseError(std::string(What) + ": " + std::strerror(errno));
}

TDescriptor::~TDescriptor() {
  ::close(Fd);
}

TUnfinishedFile::~TUnfinishedFile() {
  if (!Finished) ::unlink(Path.constData());
}

// A folder without the set-group-ID bit gives new files the creator's group.
void GiveFolderGroup(int Fd, const QByteArray& Folder, mode_t Mode) {
  struct stat folder {};
  struct stat file {};
  if (::stat(Folder.constData(), &folder) != 0) FailWithErrno("its folder");
  if (::fchmod(Fd, Mode) != 0) FailWithErrno("setting its mode");
  if (::fstat(Fd, &file) != 0) FailWithErrno("reading its group");
  if (file.st_gid != folder.st_gid && ::fchown(Fd, static_cast<uid_t>(-1), folder.st_gid) != 0)
    FailWithErrno("giving it its folder's group");
}
