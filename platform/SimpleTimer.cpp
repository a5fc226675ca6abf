#include "SimpleTimer.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <utility>

class TSimpleTimerHandler::TTimerWindow final : public QObject {
 public:
  explicit TTimerWindow(TSimpleTimerHandler& Handler) : Owner(Handler) {}

 protected:
  void timerEvent(QTimerEvent* Event) override { Owner.HandleTimerEvent(Event->timerId()); }

 private:
  TSimpleTimerHandler& Owner;
};

namespace {

// One per thread: Qt delivers a timer's events to the thread of the object that started it, and
// each visit of a parallel run waits in a thread of its own.
std::unique_ptr<TSimpleTimerHandler>& SharedHandlerSlot() {
  thread_local std::unique_ptr<TSimpleTimerHandler> Slot;
  return Slot;
}

void FreeSharedHandlerAtExit() {
  SharedHandlerSlot().reset();
}

void AttachTimer() {
  auto& slot = SharedHandlerSlot();
  if (!slot) {
    static const bool CleanupRegistered = [] {
      qAddPostRoutine(FreeSharedHandlerAtExit);
      return true;
    }();
    (void)CleanupRegistered;
    slot = std::make_unique<TSimpleTimerHandler>();
  }
  ++slot->TimerCount;
}

void DetachTimer() {
  auto& slot = SharedHandlerSlot();
  if (!slot) return;
  if (slot->TimerCount > 0) --slot->TimerCount;
  if (slot->TimerCount == 0) slot.reset();
}

}  // namespace

TSimpleTimerHandler* SharedHandler() {
  return SharedHandlerSlot().get();
}

TSimpleTimerHandler::TSimpleTimerHandler() : TimerWindow(std::make_unique<TTimerWindow>(*this)) {}

TSimpleTimerHandler::~TSimpleTimerHandler() {
  // Timers that outlive the handler must not point into it.
  for (TSimpleTimer* timer : std::as_const(LiveTimers)) timer->QtTimerId = 0;
}

bool TSimpleTimerHandler::SetTimer(TSimpleTimer& Timer, int PeriodMs) {
  // PreciseTimer: a coarse timer may fire up to 5 % early, and a reply wait must never be shorter.
  const int id = TimerWindow->startTimer(PeriodMs, Qt::PreciseTimer);
  if (id == 0) return false;
  Timer.QtTimerId = id;
  LiveTimers.insert(id, &Timer);
  return true;
}

bool TSimpleTimerHandler::KillTimer(TSimpleTimer& Timer) {
  if (Timer.QtTimerId == 0) return false;
  TimerWindow->killTimer(Timer.QtTimerId);
  LiveTimers.remove(Timer.QtTimerId);
  Timer.QtTimerId = 0;
  return true;
}

void TSimpleTimerHandler::HandleTimerEvent(int QtTimerId) {
  if (TSimpleTimer* timer = LiveTimers.value(QtTimerId)) timer->Elapsed();
}

TSimpleTimer::TSimpleTimer(int PeriodMs, TTimerEvent Handler) : Period(PeriodMs) {
  SetOnElapsed(std::move(Handler));
  AttachTimer();
}

TSimpleTimer::~TSimpleTimer() {
  if (IsArmed) StopTimer(true);
  DetachTimer();
}

bool TSimpleTimer::StartTimer() {
  if (Period == 0) return false;
  if (IsArmed) StopTimer(true);
  TSimpleTimerHandler* handler = SharedHandler();
  if (handler == nullptr || !handler->SetTimer(*this, Period)) return false;
  IsArmed = true;
  return true;
}

bool TSimpleTimer::StopTimer(bool ClearArmed) {
  if (ClearArmed) IsArmed = false;
  TSimpleTimerHandler* handler = SharedHandler();
  return handler != nullptr && handler->KillTimer(*this);
}

void TSimpleTimer::SetArmed(bool Value) {
  if (Value) {
    StartTimer();
  } else {
    StopTimer(true);
  }
}

void TSimpleTimer::SetPeriod(int Ms) {
  if (Ms == Period) return;
  Period = Ms;
  if (!IsArmed) return;
  if (Ms != 0) {
    StartTimer();
  } else {
    StopTimer(false);
  }
}

void TSimpleTimer::SetOnElapsed(TTimerEvent Handler) {
  OnElapsed = std::move(Handler);
  if (!OnElapsed && IsArmed) StopTimer(false);
}

void TSimpleTimer::Elapsed() {
  if (OneShot) StopTimer(true);
  Fire(OnElapsed, this);
}
