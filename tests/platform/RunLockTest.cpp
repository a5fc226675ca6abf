#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include "RunLock.h"

namespace {

// The lock is the file's, not its name's: a hard link meets it. A second holder only waits its
// turn; a missing file is not made, and a pipe or a folder is refused at once, never waited on.
TEST(RunLock, OneHolderPerFileWhateverItsNameAndNothingButAPlainFile) {
  QTemporaryDir folder;
  const QString file = folder.filePath("logs.mdb");
  const QString link = folder.filePath("other-name.mdb");
  QFile(file).open(QIODevice::WriteOnly);
  ASSERT_TRUE(QFile::link(file, folder.filePath("symlink.mdb")));
  ASSERT_EQ(::link(file.toLocal8Bit().constData(), link.toLocal8Bit().constData()), 0);
  EXPECT_FALSE(RunLockHeld(file));
  {
    const TRunLock first(file);
    EXPECT_TRUE(first.Held());
    EXPECT_TRUE(RunLockHeld(link));  // seen without taking it
    for (const QString& name : {file, link, folder.filePath("symlink.mdb")}) {
      const TRunLock second(name);
      EXPECT_FALSE(second.Held()) << name.toStdString();
      EXPECT_TRUE(second.Failure().isEmpty()) << name.toStdString();
    }
  }
  EXPECT_FALSE(RunLockHeld(file));
  EXPECT_TRUE(TRunLock(link).Held());

  const struct {
    const char* Name;
    std::function<void(const QString&)> Plant;
  } cases[] = {
      {"nothing", [](const QString&) {}},
      {"a pipe", [](const QString& Path) { ::mkfifo(Path.toLocal8Bit().constData(), 0660); }},
      {"a folder", [](const QString& Path) { QDir().mkdir(Path); }},
  };
  for (const auto& c : cases) {
    const QString planted = folder.filePath(QStringLiteral("planted-") + c.Name);
    c.Plant(planted);
    const TRunLock refused(planted);
    EXPECT_FALSE(refused.Held()) << c.Name;
    EXPECT_FALSE(refused.Failure().isEmpty()) << c.Name;
  }
  EXPECT_FALSE(QFile::exists(folder.filePath("planted-nothing")));
}

}  // namespace
