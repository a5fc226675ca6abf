#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include "SimLog.h"
#include "TestSupport.h"

// The real program, copied beside a logs.mdb in a folder of its own, run without a display.
class TProgramFolder : public TLogFolder {
 public:
  TProgramFolder();
  QString Program() const { return Path() + "quillmere"; }

  // Runs the program to its end; false when it did not end within LimitMs (it is then killed).
  // Environment holds NAME=VALUE overrides (an empty VALUE unsets NAME); Wrapper, when given,
  // is a command that starts the program (strace, setpriv).
  bool RunProgram(int LimitMs = 90000, const QStringList& Environment = {}, const QStringList& Wrapper = {});
  // Starts the program and leaves it running.
  void Start(QProcess& Process, const QStringList& Environment = {}, const QStringList& Wrapper = {}) const;
  // Waits until the run started in Process has ended and let go of its lock, though the process
  // may live on with a window a person must close; its standard error so far is in Output.
  bool AwaitRunReleased(QProcess& Process, QString& Output, int LimitMs) const;
  int RecordCount() const;
  // Rows stored twice, by the duplicate rule.
  int DoubledRecords() const;

  int ExitCode = -1;
  QString ErrorOutput;
};

// A private X server for the cases a person at a display would see: the program's windows and
// boxes are real there, and never modal to the test.
class TXServer {
 public:
  TXServer();
  ~TXServer();
  TXServer(const TXServer&) = delete;
  TXServer& operator=(const TXServer&) = delete;

  bool Started() const { return !Display.isEmpty(); }
  // What to give the program to run on this server instead of offscreen.
  QStringList Environment() const { return {"QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY=", "DISPLAY=" + Display}; }
  // True when a top-level window with Title is mapped on the server.
  bool ShowsWindow(const QString& Title) const;

 private:
  QProcess Server;
  QString Display;
};

// A record the emulated reader holds as records keeps it: RECTIME|CARDNO, the reader's time
// code decoded here without the product's code.
QString StoredKey(const readersim::SimRecord& Record);
