#pragma once

#include <QString>

#include <chrono>
#include <memory>

// The progress of one reader's download, shown however the run shows it: a window of its own
// when readers are visited one at a time, a share of one window when many are.
class IDownloadProgress {
 public:
  virtual ~IDownloadProgress() = default;
  virtual void Step() = 0;
  virtual void Hide() = 0;
};

// A long download (a full log takes minutes) is otherwise silent between the run's start and the
// visit's end: this says in the journal, at <6>, how far Reader's is (records read, pages) at
// most once every Every, and shows it as Shown does.
std::unique_ptr<IDownloadProgress> JournalledProgress(std::unique_ptr<IDownloadProgress> Shown, QString Reader, int Maximum,
                                                      int RecordsPerPage,
                                                      std::chrono::milliseconds Every = std::chrono::seconds(30));
