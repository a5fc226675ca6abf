#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// SIGTERM and SIGINT turned into a call on the thread that made this object, from its event
// loop: the handler only writes a byte to a pipe. One at a time per process; the default
// handling comes back when it goes.
class TStopSignals {
 public:
  explicit TStopSignals(std::function<void()> OnStop);
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

 private:
  std::unique_ptr<QSocketNotifier> Notifier;
};
