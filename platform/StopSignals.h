#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// SIGTERM and SIGINT turned into a call on the thread that made this object, from its event
// loop: the handler only notes the signal and writes a byte to a pipe. One at a time per
// process; the default handling comes back when it goes.
class TStopSignals {
 public:
  explicit TStopSignals(std::function<void()> OnStop = {});
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Whether a signal came, from any thread, before the event loop has taken it: a thread busy
  // with a reader sees it at its next step.
  bool Given() const;
  // Readable once a signal came, until the event loop takes it: a wait that polls it ends then.
  int Descriptor() const;

 private:
  std::unique_ptr<QSocketNotifier> Notifier;
};
