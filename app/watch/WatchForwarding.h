#pragma once

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include "BackOff.h"
#include "Forwarding.h"
#include "JournalCondition.h"
#include "RunOptions.h"
#include "Wakeup.h"

class QThread;
class TForwarder;

// --watch with --forward: a thread of its own, with a connection of its own to logs.mdb and one
// to the server that it keeps, sends what the server has not acknowledged as soon as logs.mdb
// holds it: told of each live event by the thread that stored it, and looking at logs.mdb every
// second for the rest (a pass's records, visits). While nothing waits it only reads logs.mdb,
// and the server hears nothing. A failure is said when it starts and its end when sending works
// again, not at every retry; a live event does not hasten a retry.
class TWatchForwarding {
 public:
  // BusyTimeoutMs: how long one wait for another program's hold on logs.mdb may last before the
  // forward gives way and tries again later, so that a stop is not held up by it. LookEveryMs:
  // how often logs.mdb is looked at for rows nobody told of; tests lengthen it.
  TWatchForwarding(QString DatabaseFile, TRunOptions Options, int BusyTimeoutMs, int LookEveryMs = 1000);
  ~TWatchForwarding();
  TWatchForwarding(const TWatchForwarding&) = delete;
  TWatchForwarding& operator=(const TWatchForwarding&) = delete;

  // Asks it to end: a wait, on the server too, ends at once; nothing unacknowledged is marked sent.
  void Stop() { Stopping.Give(); }
  // For the threads that store live events, to call after each commit: the first since the
  // last forward began writes to an eventfd, the others only look at a flag.
  std::function<void()> StoredSignal() {
    return [this] {
      if (!Told.exchange(true)) Stored.Give();
    };
  }
  // Stops it and returns once its thread has ended, having said how many records wait for the
  // next forward: how forwarding stands, for the exit status as a run's last forward.
  TForwardEnd StopAndWait();

 private:
  enum class TWake { Stopped, Told, Look };
  void Forward();
  TWake AwaitNext(int RetryInMs);
  int Cycle(TForwarder& Forwarder, bool OnWord);
  int Sent(const TForwardProgress& Done);
  void NoteSetAside(const TForwardProgress& Done);
  int Failed(TForwardEnd How, const TForwardProgress& Done, const QString& Why);
  void SayWaiting(const TForwarder& Forwarder);

  QString File;
  TRunOptions Options;
  int BusyMs;
  int LookMs;
  TWakeup Stopping;
  TWakeup Stored;
  std::atomic<bool> Told{false};  // Stored was given since the last forward began
  QElapsedTimer SinceForward;  // since the last forward began
  QElapsedTimer SinceLook;     // since the last look at all of logs.mdb; not yet: the first comes at once
  TForwardEnd Last = TForwardEnd::Sent;
  bool Working = false;   // the last forward sent: a failure from here is news
  bool RowsSetAside = false;
  // Rows refused one forward after another: said as they start, and once forwards went a
  // minute without setting any aside.
  TJournalCondition SettingAside{TPriority::Error, QStringLiteral("rows set aside (table forwarding_rejected in logs.mdb)")};
  QElapsedTimer SinceSetAside;
  // After an outage or a failing logs.mdb; a refusal waits the longest at once: a person must act first.
  TBackOff Retry;
  std::unique_ptr<QThread> Thread;
};
