#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <unistd.h>

#include <cstdio>

#include "Journal.h"
#include "MessageBox.h"
#include "TestSupport.h"

namespace {

// A service's journal reads the priority from each line's start; Qt's own complaints must not
// arrive without one, nor split into lines that lack it, nor pass for a fault of the run.
TEST(Journal, QtsOwnMessagesStayBelowWarning) {
  const QtMessageHandler previous = qInstallMessageHandler(nullptr);
  SendQtMessagesToJournal();
  TCapturedErrors errors;
  qWarning("This plugin does not support raise()");
  qCritical("first\nsecond\n\nthird");
  qInfo("started");
  qDebug("detail");
  const QByteArray text = errors.Text();
  qInstallMessageHandler(previous);
  EXPECT_EQ(text, "<6>This plugin does not support raise()\n<6>first second; third\n<6>started\n<7>detail\n");
}

}  // namespace

namespace {

// Without a display, a box that a visit's own line also tells adds no line: one event, one line.
TEST(Journal, ABoxWithoutADisplayIsOneLineOnlyWhereNoOtherLineSaysIt) {
  TCapturedErrors errors;
  ShowErrorMessage(QStringLiteral("a box of its own"));
  ShowDesktopMessage(QStringLiteral("a box a visit line tells too"));
  const QString lines = QString::fromLocal8Bit(errors.Text());
  EXPECT_EQ(lines, QStringLiteral("<3>a box of its own\n"));
}

}  // namespace
