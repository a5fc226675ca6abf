#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "ExitStatus.h"
#include "InitCommand.h"
#include "LogDatabase.h"
#include "ReadersTable.h"

namespace {

struct stat StatOf(const QString& Path) {
  struct stat info {};
  EXPECT_EQ(::stat(QFile::encodeName(Path).constData(), &info), 0) << Path.toStdString();
  return info;
}

// The file a run can open at once, which the folder's group (the service user and the members)
// can write whoever made it and whatever their umask, and nobody else can read.
TEST(Init, CreatesAnEmptyDatabaseForTheFoldersGroupOnly) {
  QTemporaryDir folder;
  const QString path = folder.filePath("logs.mdb");
  const bool root = ::geteuid() == 0;
  constexpr gid_t OtherGroup = 61002;
  if (root) {
    ASSERT_EQ(::chown(QFile::encodeName(folder.path()).constData(), static_cast<uid_t>(-1), OtherGroup), 0);
  }
  const mode_t umask = ::umask(0022);
  const int code = InitDatabase(path);
  ::umask(umask);
  ASSERT_EQ(code, ExitCode(TExitStatus::Ok));
  EXPECT_EQ(StatOf(path).st_mode & 07777, 0660u);
  if (root) {
    EXPECT_EQ(StatOf(path).st_gid, OtherGroup);
  }
  TLogDatabase db;
  db.OpenDatabase(path);
  EXPECT_TRUE(ReadReaderRecords(db).empty());
}

// A trial file in a folder of everyone's (/tmp) is for the group the data folder belongs to,
// not the folder's; a set-group-ID folder keeps its own.
TEST(Init, AFileOutsideASetGroupIdFolderGetsTheDataFoldersGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give groups";
  QTemporaryDir data;
  QTemporaryDir elsewhere;
  QTemporaryDir setGroupId;
  constexpr gid_t DataGroup = 61004;
  constexpr gid_t OwnGroup = 61005;
  ASSERT_EQ(::chown(QFile::encodeName(data.path()).constData(), static_cast<uid_t>(-1), DataGroup), 0);
  ASSERT_EQ(::chown(QFile::encodeName(setGroupId.path()).constData(), static_cast<uid_t>(-1), OwnGroup), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(setGroupId.path()).constData(), 02770), 0);
  for (const auto& [folder, group] : {std::pair{&elsewhere, DataGroup}, std::pair{&setGroupId, OwnGroup}}) {
    const QString path = folder->filePath("try.mdb");
    ASSERT_EQ(InitDatabase(path, data.path()), ExitCode(TExitStatus::Ok));
    EXPECT_EQ(StatOf(path).st_gid, group) << path.toStdString();
  }
}

TEST(Init, LeavesAnExistingFileAloneAndLeavesNothingWhenItCannotCreate) {
  QTemporaryDir folder;
  const QString path = folder.filePath("logs.mdb");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("someone's data");
  file.close();
  EXPECT_EQ(InitDatabase(path), ExitCode(TExitStatus::DatabaseExists));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), "someone's data");

  EXPECT_EQ(InitDatabase(folder.filePath("no-such-folder/logs.mdb")), ExitCode(TExitStatus::DatabaseUnwritable));
  // A name SQLite cannot open as a database once the empty file is made: the file goes again.
  const QString journalBlocked = folder.filePath("blocked.mdb");
  ASSERT_TRUE(QDir().mkdir(journalBlocked + "-journal"));
  EXPECT_EQ(InitDatabase(journalBlocked), ExitCode(TExitStatus::DatabaseUnwritable));
  EXPECT_FALSE(QFile::exists(journalBlocked));
}

}  // namespace
