#include "Restore.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cstdio>
#include <optional>

#include "AccessRefusal.h"
#include "Clock.h"
#include "DatabaseFile.h"
#include "DatabaseNames.h"
#include "DatabaseRestore.h"
#include "ExitStatus.h"
#include "FileLocks.h"
#include "LogDatabase.h"
#include "OpenAndLock.h"
#include "RunLock.h"

namespace {

QByteArray Local(const QString& Text) {
  return Text.toLocal8Bit();
}

TExitStatus Refuse(TExitStatus Status, const QString& Text) {
  std::fprintf(stderr, "quillmere: %s\n", Local(Text).constData());
  return Status;
}

// The run lock names no process; the kernel's list of locks does, to those who may see it.
QString HolderRefusal(const QString& Database) {
  pid_t holder = 0;
  for (const TFileLock& lock : LocksOfOthers(Database)) {
    if (lock.Kind == TFileLock::TKind::Whole) holder = lock.Pid;
  }
  const QString stop = QStringLiteral("; nothing restored. Stop it first, as root: systemctl stop %1, and start it again "
                                      "after the restore");
  if (holder <= 0) {
    return QStringLiteral("a run or a watch holds %1").arg(Database) +
           stop.arg(QStringLiteral("quillmere-watch.service quillmere.timer quillmere.service"));
  }
  if (ProcessArguments(holder).contains(QStringLiteral("--watch"))) {
    return QStringLiteral("a watch (process %1) holds %2").arg(holder).arg(Database) +
           stop.arg(QStringLiteral("quillmere-watch.service"));
  }
  return QStringLiteral("a run (process %1) holds %2").arg(holder).arg(Database) +
         stop.arg(QStringLiteral("quillmere.timer quillmere.service (the timer keeps the next run out)"));
}

// An SQLite tool, an export or a check with the file open would go on writing beside the new
// file under the old one's names.
std::optional<pid_t> OtherUser(const QString& Database) {
  for (const QString& file : {Database, Database + QLatin1String("-shm")}) {
    for (const TFileLock& lock : LocksOfOthers(file)) {
      if (lock.Kind == TFileLock::TKind::Range) return lock.Pid;
    }
  }
  return std::nullopt;
}

QString AsideName(const QString& Database) {
  return Database + QStringLiteral(".before-restore-") + RecTimeText(Now()).replace(u' ', u'-').remove(u':');
}

// The site's name on the server is its --site (by default its host name), which the tools do
// not take: the query names it as SITE.
void SayWhatIsMissing(const TCopyContents& Copy) {
  const QString since = Copy.LastRecord.isEmpty() ? QString() : QStringLiteral(" AND rectime > '%1'").arg(Copy.LastRecord);
  const QString server = Copy.ForwardTarget.isEmpty() ? QStringLiteral("the central server")
                                                      : QStringLiteral("the central server (this file forwarded to %1)").arg(Copy.ForwardTarget);
  std::printf("quillmere: not in it: what was collected after the copy was made. Records still in a reader's log come back "
              "at its next visit; records a reader cleared from its log since (clear after) are gone from this site, unless "
              "they were forwarded: on %s, SELECT * FROM records WHERE site = 'SITE'%s\n",
              Local(server).constData(), Local(since).constData());
}

TExitStatus Restore(const QString& Database, const QString& File, bool Force, const QString& SharedFolder) {
  struct stat copy {};
  if (::stat(QFile::encodeName(File).constData(), &copy) != 0 || !S_ISREG(copy.st_mode)) {
    return Refuse(TExitStatus::Usage, QStringLiteral("%1 is no file; nothing restored").arg(File));
  }
  TCopyContents contents;
  try {
    contents = CheckRestorable(File, DefaultBusyTimeoutMs);
  } catch (const EDatabaseError& Error) {
    return Refuse(TExitStatus::DatabaseUnusable, QStringLiteral("%1 cannot be restored: %2; %3 left as it is")
                                                     .arg(File, QString::fromLocal8Bit(Error.what()), Database));
  }
  // Held until the copy has the name: a run that starts meanwhile meets it and leaves.
  std::optional<TRunLock> lock;
  if (QFileInfo::exists(Database)) {
    // A second name would go on being the old file to whoever opens it by that name.
    try {
      RequireDatabaseFile(Database, TAccessNeed::ReadWrite);
    } catch (const EDatabaseOpenError& Error) {
      return Refuse(StatusOf(Error.Kind), QStringLiteral("%1: %2; nothing restored").arg(Database, QString::fromLocal8Bit(Error.what())));
    }
    lock.emplace(Database);
    if (!lock->Held() && lock->Failure().isEmpty()) return Refuse(TExitStatus::DatabaseInUse, HolderRefusal(Database));
    if (!lock->Held()) {
      const QString refusal = AccessRefusal(Database, TAccessNeed::ReadWrite);
      return Refuse(TExitStatus::DatabaseUnwritable, QStringLiteral("%1: %2; nothing restored")
                                                         .arg(Database, refusal.isEmpty() ? lock->Failure() : refusal));
    }
    if (const std::optional<pid_t> user = OtherUser(Database)) {
      return Refuse(TExitStatus::DatabaseInUse, QStringLiteral("process %1 (%2) has %3 open; nothing restored. Let it end first")
                                                    .arg(*user)
                                                    .arg(ProcessArguments(*user).join(u' '), Database));
    }
  }
  const QString aside = AsideName(Database);
  if (QFileInfo::exists(aside)) {
    return Refuse(TExitStatus::DatabaseExists, QStringLiteral("%1 is already there; nothing restored").arg(aside));
  }
  QStringList kept;
  try {
    kept = RestoreDatabase(File, Database, SharedFolder, aside, !Force, DefaultBusyTimeoutMs);
  } catch (const EDatabaseError& Error) {
    return Refuse(TExitStatus::CopyFailed,
                  QStringLiteral("nothing restored: %1; %2 left as it was").arg(QString::fromLocal8Bit(Error.what()), Database));
  }
  const QString last = contents.LastRecord.isEmpty() ? QString() : QStringLiteral(" (the last of %1)").arg(contents.LastRecord);
  std::printf("quillmere: restored %s from %s: %lld records%s and %lld readers, for the group %s\n", Local(Database).constData(),
              Local(File).constData(), static_cast<long long>(contents.Records), Local(last).constData(),
              static_cast<long long>(contents.Readers), Local(GroupName(QFileInfo(Database).groupId())).constData());
  if (!kept.isEmpty()) std::printf("quillmere: the file it replaced is kept as %s\n", Local(kept.join(QStringLiteral(", "))).constData());
  SayWhatIsMissing(contents);
  return TExitStatus::Ok;
}

}  // namespace

int RestoreFrom(const QString& DatabasePath, const QString& File, bool Force, const QString& SharedFolder) {
  if (IsDatabaseOrBeside(DatabasePath, File)) {
    return ExitCode(Refuse(TExitStatus::Usage, QStringLiteral("%1 is the database or one of its files; nothing restored").arg(File)));
  }
  // Through a symbolic link, the file itself is replaced, and SQLite's files are beside it.
  const QString real = QFileInfo(DatabasePath).canonicalFilePath();
  return ExitCode(Restore(real.isEmpty() ? QFileInfo(DatabasePath).absoluteFilePath() : real, File, Force, SharedFolder));
}
