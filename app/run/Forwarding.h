#pragma once

#include <QString>

#include <memory>

#include "ExitStatus.h"
#include "Forwarder.h"
#include "RunOptions.h"
#include "Wakeup.h"

class EDatabaseError;
class EServerError;
class QThread;

// How a forward ended, for the run's exit status.
enum class TForwardEnd {
  Sent,          // everything acknowledged, or nothing new
  Outage,        // the server or the link failed; the next run sends the rest
  Refused,       // needs a person: the URL, a login, a right, a table's shape, a site name in use, rows set aside
  LocalFailure,  // logs.mdb itself failed
};

// A run's forwarding, on a thread of its own with a connection of its own to logs.mdb: what
// the file holds goes to the server from the moment the run has taken it, while the window
// paints and the readers are visited; once they are, what they added follows on the same link.
// How it went is one journal line, after the readers. Every wait has a bound; whatever is not
// acknowledged stays for the next run.
class TRunForwarding {
 public:
  // DatabaseFile is open and locked by the run, and stays so until this is gone. Without
  // AtOnce everything waits for the readers: a file in rollback-journal mode would hold the
  // run's writes back while a batch is read.
  TRunForwarding(QString DatabaseFile, TRunOptions Options, bool AtOnce);
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
  void Fail(TForwardEnd How, const TForwardProgress& Partial, const QString& Why);
  void Add(const TForwardProgress& Round);
  TForwardEnd Say();
  QString Forwarded() const;

  QString File;
  TRunOptions Options;
  bool StartAtOnce;
  TWakeup Collected;  // the readers are visited
  TWakeup Stopping;
  // Written by the thread, read once it has ended.
  TForwardProgress Done;
  TForwardEnd End = TForwardEnd::Sent;
  QString Why;  // of a failure
  bool Said = false;
  std::unique_ptr<QThread> Thread;
};

// A failure of the server: an outage passes by itself; anything else needs a person, whom
// sending again will not replace.
TForwardEnd EndOf(const EServerError& Error);
TExitStatus ExitStatusOf(TForwardEnd End);
// What a failed forward got done, why it failed and Then what, for its journal line.
QString ForwardFailed(const TForwardProgress& Progress, const QString& Why, const QString& Then);
QString LocalFailureText(const EDatabaseError& Error);
