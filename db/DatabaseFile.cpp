#include "DatabaseFile.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LogDatabase.h"

namespace {

[[noreturn]] void Refuse(TOpenFailure Kind, const QString& Reason) {
  throw EDatabaseOpenError(Kind, Reason);
}

QString SystemSaid() {
  return QString::fromLocal8Bit(std::strerror(errno));
}

// EACCES names the folder or group that would let this user in; anything else is said as it is.
[[noreturn]] void RefuseAccess(const QString& Path, TAccessNeed Need) {
  const QString refusal = errno == EACCES ? AccessRefusal(Path, Need) : QString();
  Refuse(TOpenFailure::Unwritable, refusal.isEmpty() ? SystemSaid() : refusal);
}

}  // namespace

// SQLite keeps its -wal and -shm per name: through a second hard link another program sees
// another database, and the two write the one file apart until it is malformed. A symbolic
// link resolves to the one name, so it is no second name.
void RequireDatabaseFile(const QString& Path, TAccessNeed Need) {
  const QByteArray native = QFile::encodeName(Path);
  struct stat file {};
  if (::stat(native.constData(), &file) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) Refuse(TOpenFailure::Missing, QStringLiteral("no such file"));
    RefuseAccess(Path, Need);
  }
  if (!S_ISREG(file.st_mode)) Refuse(TOpenFailure::Unusable, QStringLiteral("not a plain file (a folder or a device)"));
  if (file.st_nlink > 1) {
    Refuse(TOpenFailure::Linked,
           QStringLiteral("the file has %1 hard links, and SQLite cannot share a file under two names: keep one name "
                          "(remove the other links) or use a symbolic link")
               .arg(file.st_nlink));
  }
  if (::access(native.constData(), Need == TAccessNeed::Read ? R_OK : R_OK | W_OK) != 0) RefuseAccess(Path, Need);
}
