#pragma once

#include <QString>

#include <memory>
#include <optional>

#include "DownloadProgress.h"

// The steps of a reader pass, in the order a whole pass takes them; NoResponse once a command
// has gone unanswered three times.
enum class TPassStep { Locking, SettingOptions, ReadingCapacity, Downloading, Clearing, Unlocking, NoResponse };

// The step as a watch writes it for the readers window of another start: "locking", ...
QString StepName(TPassStep Step);
std::optional<TPassStep> StepNamed(const QString& Name);

// Whoever shows a pass, told in the pass's thread. This one shows nothing: a watch has no
// windows. Those who show a pass override what they show, in their own words for each step.
class TPassObserver {
 public:
  virtual ~TPassObserver() = default;
  // A visit of the reader at Address begins: it is being connected.
  virtual void Reaching(const QString& Address);
  virtual void Stepped(TPassStep Step);
  // The pass's status is shown from its lock until it has unlocked the reader or ended.
  virtual void ShowStatus(bool Visible);
  // The pass works, connecting or holding the reader, and the person should wait.
  virtual void Busy(bool Working);
  // The download of Records records starts; its progress is shown until Hide or its end.
  virtual std::unique_ptr<IDownloadProgress> OpenProgress(int Records);
};
