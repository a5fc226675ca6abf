#pragma once

#include <QString>

#include <functional>
#include <memory>

class QWidget;

// The progress of one reader's download, shown however the run shows it: a window of its own
// when readers are visited one at a time, a share of one window when many are.
class IDownloadProgress {
 public:
  virtual ~IDownloadProgress() = default;
  virtual void Step() = 0;
  virtual void Hide() = 0;
};

// Opens the progress of a download of Maximum records, shown from the start.
using TProgressOpener = std::function<std::unique_ptr<IDownloadProgress>(const QString& Caption, int Maximum)>;

// A progress window (Tpbar) owned by Owner for each download.
TProgressOpener ProgressWindows(QWidget* Owner);
