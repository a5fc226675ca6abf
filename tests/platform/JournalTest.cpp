#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <unistd.h>

#include <cstdio>

#include "Journal.h"
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
