#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include "RunLock.h"

namespace {

// A second holder only waits its turn; anything a member of the group could put in the lock's
// place is refused at once, never followed, waited on or created through.
TEST(RunLock, OneHolderAtATimeAndNothingButAPlainFile) {
  QTemporaryDir folder;
  const QString lock = folder.filePath("logs.mdb.lock");
  EXPECT_FALSE(RunLockHeld(lock));  // not there yet, and not made by looking
  EXPECT_FALSE(QFile::exists(lock));
  {
    const TRunLock first(lock);
    const TRunLock second(lock);
    EXPECT_TRUE(RunLockHeld(lock));
    EXPECT_TRUE(first.Held());
    EXPECT_FALSE(second.Held());
    EXPECT_TRUE(second.Failure().isEmpty());
    struct stat status {};
    ASSERT_EQ(::stat(lock.toLocal8Bit().constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0660u);
  }
  EXPECT_FALSE(RunLockHeld(lock));
  EXPECT_TRUE(TRunLock(lock).Held());
  if (::geteuid() == 0) {  // a lock beside a file of another group is that group's to take too
    const QString guarded = folder.filePath("try.mdb");
    ASSERT_TRUE(QFile(guarded).open(QIODevice::WriteOnly));
    constexpr gid_t SiteGroup = 61007;
    ASSERT_EQ(::chown(guarded.toLocal8Bit().constData(), static_cast<uid_t>(-1), SiteGroup), 0);
    ASSERT_TRUE(TRunLock(guarded + ".lock", guarded).Held());
    struct stat status {};
    ASSERT_EQ(::stat((guarded + ".lock").toLocal8Bit().constData(), &status), 0);
    EXPECT_EQ(status.st_gid, SiteGroup);
  }

  const QString target = folder.filePath("never-made");
  const struct {
    const char* Name;
    std::function<void(const QString&)> Plant;
  } cases[] = {
      {"a link", [&](const QString& Path) { QFile::link(target, Path); }},
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
  EXPECT_FALSE(QFile::exists(target));
}

}  // namespace
