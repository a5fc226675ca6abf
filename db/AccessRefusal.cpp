#include "AccessRefusal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace {

QString UserName() {
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 4096> buffer{};
  const uid_t uid = ::geteuid();
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return QString::fromLocal8Bit(entry.pw_name);
  return QString::number(uid);
}

bool Allowed(const QString& Path, int Mode) {
  return ::access(QFile::encodeName(Path).constData(), Mode) == 0;
}

struct TRefusing {
  QString Path;
  bool Folder = false;
};

// Top down: a folder this user may not enter hides everything below it.
TRefusing FindRefusing(const QString& Path, TAccessNeed Need) {
  const QString file = QFileInfo(Path).absoluteFilePath();
  const QString parent = QFileInfo(file).absolutePath();
  QStringList folders;
  for (QDir dir(parent);; ) {
    folders.prepend(dir.absolutePath());
    if (dir.isRoot() || !dir.cdUp()) break;
  }
  for (const QString& folder : folders) {
    if (!Allowed(folder, X_OK)) return {folder, true};
  }
  const bool write = Need == TAccessNeed::ReadWrite;
  const bool fileThere = QFileInfo::exists(file);
  if (fileThere) {
    if (!Allowed(file, write ? R_OK | W_OK : R_OK)) return {file, false};
    // A run needs its folder too, for the journal and the lock beside the file.
    if (write && !Allowed(parent, W_OK)) return {parent, true};
    return {};
  }
  if (!Allowed(parent, write ? W_OK : R_OK)) return {parent, true};
  return {};
}

// What this user may not do there, whatever the command needed: the same words for each.
QString Refused(const QString& Path) {
  const bool read = Allowed(Path, R_OK);
  const bool written = Allowed(Path, W_OK);
  if (read && !written) return QStringLiteral("written");
  if (written && !read) return QStringLiteral("read");
  return QStringLiteral("read or written");
}

}  // namespace

// Who may, or how to make the file the site's group's, as --init makes it: the group of its
// folder, read and write for the group.
QString AccessRefusal(const QString& Path, TAccessNeed Need) {
  const TRefusing refusing = FindRefusing(Path, Need);
  if (refusing.Path.isEmpty()) return {};
  QString text = QStringLiteral("the %1 %2 may not be %3 by this user (%4)")
                     .arg(refusing.Folder ? QStringLiteral("folder") : QStringLiteral("file"), refusing.Path, Refused(refusing.Path),
                          UserName());
  struct stat status {};
  if (::stat(QFile::encodeName(refusing.Path).constData(), &status) != 0) return text;
  const mode_t groupNeeds = S_IRGRP | S_IWGRP | (refusing.Folder ? S_IXGRP : 0);
  if ((status.st_mode & groupNeeds) == groupNeeds) return text + QStringLiteral("; members of the group %1 may").arg(GroupName(status.st_gid));
  struct stat folder {};
  if (refusing.Folder || ::stat(QFile::encodeName(QFileInfo(refusing.Path).absolutePath()).constData(), &folder) != 0) return text;
  const QString group = GroupName(folder.st_gid);
  return text + QStringLiteral("; give it to the group of its folder, as --init makes it: chgrp %1 %2 && chmod 0660 %2").arg(group, refusing.Path);
}

QString GroupName(gid_t Gid) {
  group entry{};
  group* found = nullptr;
  std::array<char, 4096> buffer{};
  if (::getgrgid_r(Gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return QString::fromLocal8Bit(entry.gr_name);
  return QString::number(Gid);
}
