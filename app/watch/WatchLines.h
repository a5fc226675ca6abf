#pragma once

#include <QSqlDatabase>
#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "PassObserver.h"
#include "WatchState.h"

// The lines of a watch's readers as the readers window of another start shows them. Workers put
// their state in their own threads, as often as it changes; the watch's thread writes the rows
// that changed since its last Flush in one commit, so the file sees at most one write a second
// however busy the readers are, and none while nothing changes.
class TWatchLines {
 public:
  void Put(const TLineState& State);
  void Forget(const QString& Address, const QString& Port);
  // Raises EDatabaseError; what the file did not take is written at the next flush.
  void Flush(const QSqlDatabase& Db);

 private:
  using TKey = std::pair<QString, QString>;
  std::mutex Lock;
  std::map<TKey, std::optional<TLineState>> Dirty;  // none: the row goes
};

// One worker's line: its ups and downs, and its pass's step and progress as the pass's observer.
// Used in the worker's thread only.
class TLineReport final : public TPassObserver {
 public:
  TLineReport(TWatchLines& Lines, const QString& Address, const QString& Port);
  // The line is up once a pass went through it, down once it dropped; since then.
  void Up();
  void Down();
  void PassEnded();

  void Stepped(TPassStep Step) override;
  std::unique_ptr<IDownloadProgress> OpenProgress(int Records) override;

 private:
  class TProgress;
  void Line(TLineState::TLine Line);

  TWatchLines& Lines;
  TLineState State;
};
