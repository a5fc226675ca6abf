#include "Backup.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include "DatabaseBackup.h"
#include "DatabaseNames.h"
#include "LogDatabase.h"
#include "SiteCommand.h"
#include "SiteConnection.h"

namespace {

// A failure names the copy: logs.mdb was found and opened by then.
TBackupWrite Written(const QString& DatabasePath, const QString& File, bool Force) {
  try {
    return BackupDatabase(DatabasePath, File, Force, DefaultBusyTimeoutMs);
  } catch (const EDatabaseOpenError&) {
    throw;  // logs.mdb's own problem, said as every way in says it
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
