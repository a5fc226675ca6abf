#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTimer>

#include <unistd.h>

#include "OpenAndLock.h"
#include "LogDatabase.h"
#include "ReaderSim.h"
#include "RunLock.h"
#include "TestSupport.h"
#include "grmain.h"

namespace {

using readersim::ReaderSim;

class Run : public testing::Test {
 protected:
  TLogFolder Folder;
  TRecordingMessageBox Messages;
};

TEST_F(Run, AnEmptyReadersTableClosesTheWindowWithoutAMessage) {
  TSetAcc window(Folder.DatabasePath());
  window.show();
  ASSERT_TRUE(WaitUntil([&] { return !window.isVisible(); }, 10000));
  EXPECT_TRUE(Messages.Texts.isEmpty());
  EXPECT_TRUE(window.eStatus->text().isEmpty());
}

TEST_F(Run, AnUnreadableRowStopsTheRunThereAndIsReported) {
  ReaderSim first(readersim::SampleLog(5, 1));
  ReaderSim third(readersim::SampleLog(5, 3));
  Folder.AddReader("127.0.0.1", QString::number(first.Port()), false, true, false);
  Folder.Execute(QStringLiteral("INSERT INTO readers VALUES ('127.0.0.1', '%1', NULL, 1, 0)").arg(third.Port()));
  Folder.AddReader("127.0.0.1", QString::number(third.Port()), false, true, false);
  TSetAcc window(Folder.DatabasePath());
  window.show();
  ASSERT_TRUE(WaitUntil([&] { return !Messages.Texts.isEmpty(); }, 30000));
  EXPECT_EQ(Messages.Texts, QStringList{"Could not convert NULL in column 'setclk' to a boolean\n\nreaders row 2, column setclk: "
                                         "the run stopped there; the rows after it were not visited."});
  EXPECT_TRUE(window.isVisible());  // the window stays up with the error
  EXPECT_EQ(Folder.Query("SELECT COUNT(*) FROM records"), QStringList{"5"});
  EXPECT_EQ(Folder.Query("SELECT outcome FROM visits ORDER BY id"), (QStringList{"done", "bad_row"}));
  EXPECT_EQ(third.Connections(), 0);
}

// Another name of the file is the same file: a run started through a hard link finds the lock.
TEST_F(Run, AHardLinkToTheFileMeetsTheRunLock) {
  const QString link = Folder.Path() + "other-name.mdb";
  ASSERT_EQ(::link(Folder.DatabasePath().toLocal8Bit().constData(), link.toLocal8Bit().constData()), 0);
  const TRunLock held(Folder.DatabasePath());
  std::optional<TRunLock> lock;
  TLogDatabase db;
  const auto refused = OpenAndLock(db, link, lock);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->Status, TExitStatus::Ok);
  EXPECT_FALSE(lock->Held());
}

TEST_F(Run, AClosedWindowOnlyEndsTheProgramAfterTheRun) {
  ReaderSim sim(readersim::SampleLog(5, 1));
  Folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  TSetAcc window(Folder.DatabasePath());
  bool closeNoted = false;
  bool visibleAfterClose = false;
  // Fires while the pass pumps events waiting for a reply.
  QTimer::singleShot(400, &window, [&] {
    window.close();
    closeNoted = window.CloseRequested();
    visibleAfterClose = window.isVisible();
  });
  window.show();
  ASSERT_TRUE(WaitUntil([&] { return !window.isVisible(); }, 20000));
  EXPECT_TRUE(closeNoted);
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_EQ(Folder.Query("SELECT COUNT(*) FROM records"), QStringList{"5"});
}

}  // namespace
