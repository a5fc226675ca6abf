#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <QFile>

#include "RunLock.h"

TProgramFolder::TProgramFolder() {
  EXPECT_TRUE(QFile::copy(QStringLiteral(QUILLMERE_BINARY), Program()));
}

void TProgramFolder::Start(QProcess& Process, const QStringList& Environment, const QStringList& Wrapper) const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  for (const QString& setting : Environment) {
    const QString name = setting.section('=', 0, 0);
    const QString value = setting.section('=', 1);
    if (value.isEmpty()) {
      environment.remove(name);
    } else {
      environment.insert(name, value);
    }
  }
  Process.setProcessEnvironment(environment);
  if (Wrapper.isEmpty()) {
    Process.start(Program(), {});
  } else {
    Process.start(Wrapper.front(), Wrapper.mid(1) << Program());
  }
  EXPECT_TRUE(Process.waitForStarted());
}

bool TProgramFolder::RunProgram(int LimitMs, const QStringList& Environment, const QStringList& Wrapper) {
  QProcess process;
  Start(process, Environment, Wrapper);
  const bool ended = process.waitForFinished(LimitMs);
  if (!ended) {
    process.kill();
    process.waitForFinished();
  }
  ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  ErrorOutput = QString::fromLocal8Bit(process.readAllStandardError());
  return ended;
}

bool TProgramFolder::AwaitRunReleased(QProcess& Process, QString& Output, int LimitMs) const {
  return WaitUntil(
      [&] {
        Output += QString::fromLocal8Bit(Process.readAllStandardError());
        return Output.contains("run ended") && TRunLock(DatabasePath()).Held();
      },
      LimitMs);
}

int TProgramFolder::RecordCount() const {
  return Query("SELECT COUNT(*) FROM records").front().toInt();
}

int TProgramFolder::DoubledRecords() const {
  return Query("SELECT COUNT(*) - COUNT(DISTINCT RECTIME || '|' || CARDNO) FROM records").front().toInt();
}

TXServer::TXServer() {
  Server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
  QByteArray number;
  while (!number.contains('\n') && Server.waitForReadyRead(10000)) number += Server.readAllStandardOutput();
  if (number.contains('\n')) Display = ':' + QString::fromLatin1(number.trimmed());
}

TXServer::~TXServer() {
  Server.terminate();
  Server.waitForFinished();
}

bool TXServer::ShowsWindow(const QString& Title) const {
  QProcess tree;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("DISPLAY", Display);
  tree.setProcessEnvironment(environment);
  tree.start("xwininfo", {"-root", "-tree"});
  tree.waitForFinished();
  return QString::fromLocal8Bit(tree.readAllStandardOutput()).contains('"' + Title + '"');
}

QString StoredKey(const readersim::SimRecord& Record) {
  const std::int32_t code = Record.TimeCode;
  const int s = code % 60;
  const int mi = code / 60 % 60;
  const int h = code / 3600 % 24;
  const int d = code / 86400 % 32;
  const int mo = code / (86400 * 32) % 13;
  const int y = 2000 + code / (86400 * 32 * 13);
  return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d|%d", y, mo, d, h, mi, s, static_cast<int>(Record.Card));
}
