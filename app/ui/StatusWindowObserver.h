#pragma once

#include <QString>

#include <memory>
#include <optional>

#include "PassObserver.h"
#include "WaitCursor.h"

class IStatusLine;
class QWidget;

// The status window's words for Step.
QString StatusText(TPassStep Step);

// A pass as a run that visits one reader at a time shows it: the reader's address, then each
// step, in the one status line; the download in a progress window of its own owned by Owner;
// the wait cursor while it connects and while it holds the reader. In the window thread.
class TStatusWindowObserver final : public TPassObserver {
 public:
  TStatusWindowObserver(IStatusLine& AStatus, QWidget& AOwner) : Status(AStatus), Owner(AOwner) {}

  void Reaching(const QString& Address) override;
  void Stepped(TPassStep Step) override;
  void ShowStatus(bool Visible) override;
  void Busy(bool Working) override;
  std::unique_ptr<IDownloadProgress> OpenProgress(int Records) override;

 private:
  IStatusLine& Status;
  QWidget& Owner;
  std::optional<TWaitCursor> Cursor;
};
