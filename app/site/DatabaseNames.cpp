#include "DatabaseNames.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

bool SameFile(const QString& A, const QString& B) {
  struct stat a {};
  struct stat b {};
  return ::stat(QFile::encodeName(A).constData(), &a) == 0 && ::stat(QFile::encodeName(B).constData(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsFileOrBeside(const QString& DatabasePath, const QString& File) {
  const QFileInfo database(DatabasePath);
  const QFileInfo file(File);
  if (QFileInfo(file.absolutePath()).canonicalFilePath() != QFileInfo(database.absolutePath()).canonicalFilePath()) return false;
  for (const char* suffix : {"", "-wal", "-shm", "-journal", ".lock"}) {
    if (file.fileName() == database.fileName() + QLatin1String(suffix)) return true;
  }
  return false;
}

}  // namespace

// Through a symbolic link, SQLite keeps its files beside the file itself.
bool IsDatabaseOrBeside(const QString& DatabasePath, const QString& File) {
  if (SameFile(DatabasePath, File)) return true;
  const QString real = QFileInfo(DatabasePath).canonicalFilePath();
  return IsFileOrBeside(DatabasePath, File) || (!real.isEmpty() && IsFileOrBeside(real, File));
}
