#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTimer>

#include "grmain.h"
#include "pgbar.h"

namespace {

TEST(StatusWindow, HasTheLayoutOfTheStatusDialog) {
  TSetAcc window(QStringLiteral("/nonexistent/logs.mdb"));
  EXPECT_EQ(window.windowTitle(), "Quillmere");
  EXPECT_EQ(window.size(), QSize(257, 37));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_EQ(window.eStatus->geometry(), QRect(8, 8, 241, 21));
  EXPECT_TRUE(window.eStatus->isReadOnly());
  EXPECT_FALSE(window.eStatus->isEnabled());
  EXPECT_TRUE(window.eStatus->text().isEmpty());
  EXPECT_EQ(window.Timer1->interval(), 50);
  EXPECT_TRUE(window.Timer1->isActive());
  EXPECT_FALSE(window.windowIcon().isNull());
}

TEST(ProgressWindow, IsAToolWindowWithTheCreatorsCaption) {
  QWidget owner;
  Tpbar progress(&owner, QStringLiteral("Downloading Logs (70 records)"), 70);
  EXPECT_EQ(progress.windowTitle(), "Downloading Logs (70 records)");
  EXPECT_EQ(progress.size(), QSize(418, 22));
  EXPECT_EQ(progress.windowType(), Qt::Tool);
  EXPECT_TRUE(progress.isVisible());
  EXPECT_EQ(progress.bar->geometry(), QRect(0, 0, 418, 22));
  EXPECT_EQ(progress.bar->MaxValue(), 70);
  progress.Step();
  EXPECT_EQ(progress.bar->Progress(), 1);
}

}  // namespace
