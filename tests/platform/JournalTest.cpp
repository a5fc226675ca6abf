#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <unistd.h>

#include <cstdio>

#include "Journal.h"

namespace {

// What the process writes on standard error while it lives.
class TCapturedErrors {
 public:
  TCapturedErrors() {
    EXPECT_TRUE(File.open());
    std::fflush(stderr);
    Saved = ::dup(STDERR_FILENO);
    ::dup2(File.handle(), STDERR_FILENO);
  }
  ~TCapturedErrors() { Restore(); }
  QByteArray Text() {
    Restore();
    File.seek(0);
    return File.readAll();
  }

 private:
  void Restore() {
    if (Saved < 0) return;
    std::fflush(stderr);
    ::dup2(Saved, STDERR_FILENO);
    ::close(Saved);
    Saved = -1;
  }
  QTemporaryFile File;
  int Saved = -1;
};

// A service's journal reads the priority from each line's start; Qt's own complaints must not
// arrive without one, nor split into lines that lack it.
TEST(Journal, QtsOwnMessagesGetThePriorityOfTheirKind) {
  const QtMessageHandler previous = qInstallMessageHandler(nullptr);
  SendQtMessagesToJournal();
  TCapturedErrors errors;
  qWarning("This plugin does not support raise()");
  qCritical("first\nsecond");
  qInfo("started");
  const QByteArray text = errors.Text();
  qInstallMessageHandler(previous);
  EXPECT_EQ(text, "<4>This plugin does not support raise()\n<3>first second\n<6>started\n");
}

}  // namespace
