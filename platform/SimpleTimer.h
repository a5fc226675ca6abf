#pragma once

#include <QHash>
#include <QObject>

#include <cstdint>
#include <memory>

#include "Event.h"

class TSimpleTimer;
using TTimerEvent = TEvent<TSimpleTimer*>;

// The hidden object that receives every message timer's events. One per thread, alive while
// any TSimpleTimer of that thread exists.
class TSimpleTimerHandler {
 public:
  TSimpleTimerHandler();
  ~TSimpleTimerHandler();
  TSimpleTimerHandler(const TSimpleTimerHandler&) = delete;
  TSimpleTimerHandler& operator=(const TSimpleTimerHandler&) = delete;

  std::uint32_t TimerCount = 0;

  bool SetTimer(TSimpleTimer& Timer, int PeriodMs);
  bool KillTimer(TSimpleTimer& Timer);
  void HandleTimerEvent(int QtTimerId);

 private:
  class TTimerWindow;
  std::unique_ptr<TTimerWindow> TimerWindow;
  // Qt timer id to live timer: an event for a killed or destroyed timer finds nothing here.
  QHash<int, TSimpleTimer*> LiveTimers;
};

// The calling thread's handler, or null when it has no timer.
TSimpleTimerHandler* SharedHandler();

class TSimpleTimer {
 public:
  TSimpleTimer(int PeriodMs, TTimerEvent OnElapsed);
  ~TSimpleTimer();
  TSimpleTimer(const TSimpleTimer&) = delete;
  TSimpleTimer& operator=(const TSimpleTimer&) = delete;

  bool StartTimer();
  bool StopTimer(bool ClearArmed);
  void SetArmed(bool Value);
  void SetPeriod(int Ms);
  void SetOnElapsed(TTimerEvent Handler);

  bool Armed() const { return IsArmed; }
  int PeriodMs() const { return Period; }
  bool Running() const { return QtTimerId != 0; }

  bool OneShot = false;

 private:
  friend class TSimpleTimerHandler;
  void Elapsed();

  bool IsArmed = false;
  int Period = 0;
  int QtTimerId = 0;
  TTimerEvent OnElapsed;
};
