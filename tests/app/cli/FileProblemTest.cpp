#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>

#include "Backup.h"
#include "ExitStatus.h"
#include "HealthReport.h"
#include "LogDatabase.h"
#include "OpenAndLock.h"
#include "ReaderList.h"
#include "RecordExport.h"
#include "RunLock.h"
#include "TestSupport.h"
#include "WatchRun.h"

namespace {

constexpr uid_t Nobody = 65534;

// The process as the user nobody while it lives, when it runs as root, who passes every mode.
// The saved user stays root, so root comes back.
class TAsAnotherUser {
 public:
  TAsAnotherUser() : Switched(::geteuid() == 0) {
    if (Switched) {
      EXPECT_TRUE(::setresgid(Nobody, Nobody, 0) == 0 && ::setresuid(Nobody, Nobody, 0) == 0);
    }
  }
  ~TAsAnotherUser() {
    if (Switched) {
      EXPECT_TRUE(::setresuid(0, 0, 0) == 0 && ::setresgid(0, 0, 0) == 0);
    }
  }
  TAsAnotherUser(const TAsAnotherUser&) = delete;
  TAsAnotherUser& operator=(const TAsAnotherUser&) = delete;

 private:
  bool Switched;
};

QString UserName() {
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? QString::fromLocal8Bit(entry->pw_name) : QString::number(::geteuid());
}

void WriteOver(const QString& Path, qint64 Offset, const QByteArray& Bytes) {
  QFile file(Path);
  ASSERT_TRUE(file.open(QIODevice::ReadWrite));
  ASSERT_TRUE(file.seek(Offset));
  ASSERT_EQ(file.write(Bytes), Bytes.size());
}

// What one way in made of the file: its exit status and what it said.
struct TAnswer {
  int Status = -1;
  QString Said;
};

using TWayIn = std::function<TAnswer(const QString& File)>;

TAnswer Captured(const std::function<int()>& Start) {
  TCapturedErrors errors;
  const int status = Start();
  return {status, QString::fromLocal8Bit(errors.Text())};
}

}  // namespace

// Whichever command meets a problem with logs.mdb says it in the same words with the same
// status; --check as a monitoring plugin, UNKNOWN with the same words.
TEST(FileProblem, EveryWayInGivesTheSameStatusAndReason) {
  const std::pair<const char*, TWayIn> waysIn[] = {
      {"a run",
       [](const QString& File) {
         return Captured([&] {
           std::optional<TRunLock> lock;
           TLogDatabase db;
           const std::optional<TRefusal> refused = OpenAndLock(db, File, lock);
           return refused ? ExitCode(refused->Status) : 0;
         });
       }},
      {"--watch", [](const QString& File) { return Captured([&] { return ExitCode(TWatchRun(File, {}).Run()); }); }},
      {"--readers", [](const QString& File) { return Captured([&] { return ListReaders(File); }); }},
      {"--export", [](const QString& File) { return Captured([&] { return ExportRecords(File, {}, stdout); }); }},
      {"--backup",
       [](const QString& File) {
         const QTemporaryDir elsewhere;
         return Captured([&] { return BackupTo(File, elsewhere.filePath("copy.mdb"), false); });
       }},
      {"--check",
       [](const QString& File) {
         const TCheckReport report = CheckHealth(File, 24, false);
         return TAnswer{static_cast<int>(report.State), report.Text};
       }},
  };
  const auto damaged = [](const TLogFolder& Folder) {
    WriteOver(Folder.DatabasePath(), 100, QByteArray(8, '\xff'));  // the schema's page header
  };
  // The schema reads well and the door lets the file in: the damage shows at the first read of a table.
  const auto damagedTables = [](const TLogFolder& Folder) {
    const qint64 pageSize = Folder.Query("PRAGMA page_size").value(0).toLongLong();
    for (const QString& root : Folder.Query("SELECT rootpage FROM sqlite_master WHERE name IN ('readers', 'records', 'records_time_card')")) {
      WriteOver(Folder.DatabasePath(), (root.toLongLong() - 1) * pageSize, QByteArray(8, '\xff'));
    }
  };
  const auto notDatabase = [](const TLogFolder& Folder) {
    ASSERT_TRUE(QFile::remove(Folder.DatabasePath()));
    WriteOver(Folder.DatabasePath(), 0, QByteArray(8192, 'x'));
  };
  const auto refused = [](const TLogFolder& Folder) {
    ASSERT_TRUE(QFile::setPermissions(Folder.Path(), QFileDevice::Permissions(0x7777)));
    ASSERT_TRUE(QFile::setPermissions(Folder.DatabasePath(), {}));
  };
  const struct {
    const char* Name;
    std::function<void(const TLogFolder&)> Make;
    TExitStatus Status;
    std::function<QString(const QString& File)> Reason;
    bool AnotherUser = false;
  } problems[] = {
      {"missing", [](const TLogFolder& f) { ASSERT_TRUE(QFile::remove(f.DatabasePath())); }, TExitStatus::DatabaseMissing,
       [](const QString&) { return QStringLiteral("no such file"); }},
      {"a folder",
       [](const TLogFolder& f) {
         ASSERT_TRUE(QFile::remove(f.DatabasePath()));
         ASSERT_TRUE(QDir().mkdir(f.DatabasePath()));
       },
       TExitStatus::DatabaseUnusable, [](const QString&) { return QStringLiteral("not a plain file (a folder or a device)"); }},
      {"a second hard link", [](const TLogFolder& f) { f.SecondName(); }, TExitStatus::DatabaseLinked,
       [](const QString&) { return QStringLiteral("the file has 2 hard links"); }},
      {"not this user's", refused, TExitStatus::DatabaseUnwritable,
       [](const QString& File) {
         return QStringLiteral("the file %1 may not be read or written by this user (%2); give it to the group of its folder, "
                               "as --init makes it: chgrp ")
             .arg(File, UserName());
       },
       true},
      {"not a database", notDatabase, TExitStatus::DatabaseUnusable,
       [](const QString&) { return QStringLiteral("not an SQLite database (a file of another kind)"); }},
      {"damaged", damaged, TExitStatus::DatabaseUnusable,
       [](const QString&) { return QStringLiteral("damaged: SQLite finds the database malformed"); }},
      {"damaged tables", damagedTables, TExitStatus::DatabaseUnusable,
       [](const QString&) { return QStringLiteral("damaged: SQLite finds the database malformed"); }},
  };
  for (const auto& problem : problems) {
    const TLogFolder folder;
    folder.AddReader("127.0.0.1", "1", false, true, false);
    problem.Make(folder);
    const QString file = folder.DatabasePath();
    std::optional<TAsAnotherUser> user;
    if (problem.AnotherUser) user.emplace();
    const QString said = file + ": " + problem.Reason(file);
    for (const auto& [way, start] : waysIn) {
      const TAnswer answer = start(file);
      const bool check = qstrcmp(way, "--check") == 0;
      EXPECT_EQ(answer.Status, check ? static_cast<int>(TCheckState::Unknown) : ExitCode(problem.Status)) << problem.Name << ", " << way;
      EXPECT_TRUE(answer.Said.contains(said)) << problem.Name << ", " << way << ": " << answer.Said.toStdString();
    }
  }
}
