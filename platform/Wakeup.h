#pragma once

// A wake-up another thread can give at any time, for a thread that waits on a socket or sleeps:
// the wait ends at once rather than at its next timeout. Once given it stays given until taken.
class TWakeup {
 public:
  TWakeup();
  ~TWakeup();
  TWakeup(const TWakeup&) = delete;
  TWakeup& operator=(const TWakeup&) = delete;

  void Give();
  bool Given() const;
  // Ends a given wake-up, however often it was given, so that the next Give wakes again.
  void Take();

  enum class TWaitEnd { Timeout, Readable, Woken };
  // Waits up to TimeoutMs for the wake-up, or for Fd (when not -1) to be readable or closed.
  TWaitEnd Wait(int TimeoutMs, int Fd = -1) const;
  // Readable once given: for a wait of its own that polls it beside other descriptors.
  int Descriptor() const { return EventFd; }

 private:
  int EventFd = -1;
};
