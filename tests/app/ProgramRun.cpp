#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <QFile>

TProgramFolder::TProgramFolder() {
  EXPECT_TRUE(QFile::copy(QStringLiteral(QUILLMERE_BINARY), Program()));
}

void TProgramFolder::Start(QProcess& Process) const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  Process.setProcessEnvironment(environment);
  Process.start(Program(), {});
  EXPECT_TRUE(Process.waitForStarted());
}

bool TProgramFolder::RunProgram(int LimitMs) {
  QProcess process;
  Start(process);
  const bool ended = process.waitForFinished(LimitMs);
  if (!ended) {
    process.kill();
    process.waitForFinished();
  }
  ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  ErrorOutput = QString::fromLocal8Bit(process.readAllStandardError());
  return ended;
}

int TProgramFolder::RecordCount() const {
  return Query("SELECT COUNT(*) FROM records").front().toInt();
}

int TProgramFolder::DoubledRecords() const {
  return Query("SELECT COUNT(*) - COUNT(DISTINCT RECTIME || '|' || CARDNO) FROM records").front().toInt();
}
