#pragma once

#include <QWidget>

#include <memory>

#include "ExitStatus.h"
#include "RunOptions.h"
#include "StatusLine.h"

class IRunDisplay;
class QFrame;
class QLineEdit;
class QTimer;
class TDownloadRun;

// The status window: shows one line of status while the one run of the program goes on.
class TSetAcc : public QWidget, public IStatusLine {
 public:
  explicit TSetAcc(QString DatabaseFile, TRunOptions Options = {});
  ~TSetAcc() override;

  void SetStatusText(const QString& Text) override;
  void SetStatusVisible(bool Visible) override;

  void Run();
  bool CloseRequested() const { return CloseWanted; }
  // How the run ended, for the process's exit status.
  TExitStatus RunStatus() const { return Status; }

  QFrame* TntPanel1;
  QLineEdit* eStatus;
  QTimer* Timer1;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  void TntFormCreate();
  void Timer1Timer();

  std::unique_ptr<IRunDisplay> Windows;
  std::unique_ptr<TDownloadRun> Download;  // made with the window; handed to Run
  TExitStatus Status = TExitStatus::Ok;
  bool Running = false;
  bool CloseWanted = false;
};
