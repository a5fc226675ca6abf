#include "Backup.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cstdio>

#include "DatabaseBackup.h"
#include "LogDatabase.h"
#include "SiteCommand.h"
#include "SiteConnection.h"

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

// Renaming a copy over logs.mdb, or over what SQLite keeps beside it, would pull the file from
// under every connection that has it open. Through a symbolic link, SQLite keeps its files
// beside the file itself.
bool IsDatabaseOrBeside(const QString& DatabasePath, const QString& File) {
  if (SameFile(DatabasePath, File)) return true;
  const QString real = QFileInfo(DatabasePath).canonicalFilePath();
  return IsFileOrBeside(DatabasePath, File) || (!real.isEmpty() && IsFileOrBeside(real, File));
}

// A failure names the copy: logs.mdb was found and opened by then.
TBackupWrite Written(const QString& DatabasePath, const QString& File, bool Force) {
  try {
    return BackupDatabase(DatabasePath, File, Force, DefaultBusyTimeoutMs);
  } catch (const EDatabaseError& Error) {
    throw EDatabaseError("no copy made at " + QFile::encodeName(File).toStdString() + ": " + Error.what());
  }
}

}  // namespace

int BackupTo(const QString& DatabasePath, const QString& File, bool Force) {
  if (IsDatabaseOrBeside(DatabasePath, File)) {
    std::fprintf(stderr, "quillmere: %s is the database or one of its files; nothing written\n", QFile::encodeName(File).constData());
    return ExitCode(TExitStatus::Usage);
  }
  return RunSiteTool(DatabasePath, TExitStatus::CopyFailed, [&] {
    // A file that is missing or no database is said as such, not as a copy that failed.
    const TSiteConnection source(DatabasePath, TAccess::Read);
    if (Written(DatabasePath, File, Force) == TBackupWrite::AlreadyThere) {
      std::fprintf(stderr, "quillmere: %s is already there; left as it is (--force replaces it)\n",
                   QFile::encodeName(File).constData());
      return TExitStatus::DatabaseExists;
    }
    std::printf("quillmere: copied %s to %s\n", QFile::encodeName(DatabasePath).constData(), QFile::encodeName(File).constData());
    return TExitStatus::Ok;
  });
}
