#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <functional>

#include "MessageBox.h"

// Pumps Qt's event queue until Condition holds or TimeoutMs pass; returns the condition.
bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs);

// How long a test lets a stop take, at any load and under the sanitizers. It tells a stop that
// cut its waits from one that sat one out: a test that bounds a stop by it makes the wait the
// stop must cut longer (a connect's 5 s, a call's 60 s, a reply wait it lengthens).
constexpr int StopBoundMs = 4000;

// Collects the texts of message boxes instead of showing them.
class TRecordingMessageBox final : public IMessageBox {
 public:
  TRecordingMessageBox() : Guard(*this) {}
  void ShowError(const QString& Text) override { Texts << Text; }
  QStringList Texts;

 private:
  TScopedMessageBox Guard;
};

// What the process writes on standard error while it lives.
class TCapturedErrors {
 public:
  TCapturedErrors();
  ~TCapturedErrors();
  TCapturedErrors(const TCapturedErrors&) = delete;
  TCapturedErrors& operator=(const TCapturedErrors&) = delete;
  // Ends the capture.
  QByteArray Text();
  // What was written so far, while the capture goes on.
  QByteArray Peek();

 private:
  void Restore();
  QTemporaryFile File;
  int Saved = -1;
};

// Another program's hold on a file: a connection of its own in a write transaction from Hold
// until Release, or until it goes.
class THeldFile {
 public:
  explicit THeldFile(const QString& Path);
  ~THeldFile();
  THeldFile(const THeldFile&) = delete;
  THeldFile& operator=(const THeldFile&) = delete;
  bool Hold();
  bool Release();

 private:
  QString Connection;
};

// A folder of its own for one test, holding a logs.mdb made from schema.sql.
class TLogFolder {
 public:
  TLogFolder();
  QString Path() const { return Dir.path() + '/'; }
  QString DatabasePath() const { return Dir.filePath(QStringLiteral("logs.mdb")); }
  // Runs SQL on logs.mdb through its own connection; fails the test on an error.
  void Execute(const QString& Sql) const;
  QStringList Query(const QString& Sql) const;  // each row's columns joined by '|'
  void AddReader(const QString& Address, const QString& Port, bool SetClock, bool Download, bool ClearAfter) const;
  // A second hard link to logs.mdb, named Name in the same folder; its path.
  QString SecondName(const QString& Name = QStringLiteral("hard.mdb")) const;

 private:
  QTemporaryDir Dir;
};

// A port on 127.0.0.1 where nothing listens: connections to it are refused, for the whole run.
int ClosedLoopbackPort();

// What the kernel says of the TCP sockets on 127.0.0.1 (/proc/net/tcp), for tests to wait on a
// handshake rather than on time: connects to Port whose handshake goes unanswered (SYN sent),
// and connections waiting in the accept queue of the listener on Port.
int HandshakesUnderWay(int Port);
int AcceptQueueLength(int Port);

// The far end of one TCP connection on 127.0.0.1, driven by the test itself.
class TLoopbackPeer {
 public:
  explicit TLoopbackPeer(int Backlog = 4);
  ~TLoopbackPeer();
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  int Port() const { return PortNumber; }
  QByteArray PortText() const { return QByteArray::number(PortNumber); }
  bool Accept(int TimeoutMs = 2000);
  void Send(const QByteArray& Bytes);
  // Whatever arrives within WaitMs of quiet.
  QByteArray Read(int WaitMs = 100);
  void CloseConnection();

 private:
  int ListenFd = -1;
  int Fd = -1;
  int PortNumber = 0;
};
