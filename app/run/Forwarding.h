#pragma once

#include <QString>

#include <memory>

#include "ExitStatus.h"
#include "ForwardEnd.h"
#include "Forwarder.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "RunOptions.h"
#include "Wakeup.h"

class QThread;

// A run's forwarding, on a thread of its own with a connection of its own to logs.mdb: what
// the file holds goes to the server from the moment the run has taken it, while the window
// paints and the readers are visited; once they are, what they added follows on the same link.
// How it went is one journal line, after the readers. Every wait has a bound; whatever is not
// acknowledged stays for the next run.
class TRunForwarding {
 public:
  // DatabaseFile is open and locked by the run, and stays so until this is gone. Without
  // AtOnce everything waits for the readers: a file in rollback-journal mode would hold the
  // run's writes back while a batch is read. BusyTimeoutMs: how long another program's hold on
  // logs.mdb is waited out before the forward gives way to the next run; tests shorten it.
  TRunForwarding(QString DatabaseFile, TRunOptions Options, bool AtOnce, int BusyTimeoutMs = DefaultBusyTimeoutMs);
  // Without a Finish (the run failed or ended in an exception), a wait on the server ends at once,
  // nothing unacknowledged is marked sent, and what was sent by then is said, or the forward's
  // own failure when it had failed.
  ~TRunForwarding();
  TRunForwarding(const TRunForwarding&) = delete;
  TRunForwarding& operator=(const TRunForwarding&) = delete;

  // After the readers: sends what they added, unless the first forward failed, and says how
  // forwarding went.
  TForwardEnd Finish();

 private:
  void Forward();
  void ForwardRounds();
  void Attempt(TForwarder& Forwarder);
  void Fail(const TForwardFailure& Failure, const TForwardProgress& Partial);
  void Add(const TForwardProgress& Round);
  TForwardEnd Say();
  QString Forwarded() const;

  QString File;
  TRunOptions Options;
  bool StartAtOnce;
  int BusyMs;
  TWakeup Collected;  // the readers are visited
  TWakeup Stopping;
  // Written by the thread, read once it has ended.
  TForwardProgress Done;
  TForwardEnd End = TForwardEnd::Sent;
  QString Why;  // of a failure
  bool Said = false;
  std::unique_ptr<QThread> Thread;
};

TExitStatus ExitStatusOf(TForwardEnd End);
// The priority of a failed forward's line: an outage passes by itself, the rest needs a look.
TPriority PriorityOf(TForwardEnd Failed);
// What a failed forward got done, why it failed and Then what, for its journal line.
QString ForwardFailed(const TForwardProgress& Progress, const QString& Why, const QString& Then);
