#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <memory>
#include <vector>

#include "SimpleTimer.h"
#include "TestSupport.h"

namespace {

// Timers of a test count their firings and when the first one came.
struct TFirings {
  int Count = 0;
  qint64 FirstAtMs = -1;
  QElapsedTimer Clock;
  TFirings() { Clock.start(); }
  TTimerEvent Handler() {
    return [this](TSimpleTimer*) {
      if (Count++ == 0) FirstAtMs = Clock.elapsed();
    };
  }
};

void Pump(int Ms) {
  WaitUntil([] { return false; }, Ms);
}

TEST(SimpleTimer, ConstructionDoesNotStartAndArmingDoes) {
  TFirings firings;
  TSimpleTimer timer(20, firings.Handler());
  EXPECT_FALSE(timer.Armed());
  Pump(100);
  EXPECT_EQ(firings.Count, 0);
  timer.SetArmed(true);
  EXPECT_TRUE(WaitUntil([&] { return firings.Count >= 2; }, 5000));
  timer.SetArmed(false);
  const int count = firings.Count;
  Pump(100);
  EXPECT_EQ(firings.Count, count);
  EXPECT_FALSE(timer.Armed());
}

TEST(SimpleTimer, ZeroPeriodCannotStart) {
  TSimpleTimer timer(0, [](TSimpleTimer*) {});
  EXPECT_FALSE(timer.StartTimer());
  EXPECT_FALSE(timer.Armed());
  EXPECT_FALSE(timer.StopTimer(true));  // nothing to kill
}

TEST(SimpleTimer, PauseByZeroPeriodOrNoHandlerAndResumeByNewPeriod) {
  TFirings firings;
  TSimpleTimer timer(20, firings.Handler());
  timer.SetArmed(true);
  timer.SetPeriod(0);
  EXPECT_TRUE(timer.Armed());
  EXPECT_FALSE(timer.Running());
  timer.SetPeriod(0);  // the same value changes nothing, even paused
  Pump(100);
  EXPECT_EQ(firings.Count, 0);
  timer.SetPeriod(20);
  EXPECT_TRUE(timer.Running());
  EXPECT_TRUE(WaitUntil([&] { return firings.Count >= 1; }, 5000));

  timer.SetOnElapsed(nullptr);
  EXPECT_TRUE(timer.Armed());
  EXPECT_FALSE(timer.Running());
  timer.SetOnElapsed(firings.Handler());  // assigning again does not resume
  EXPECT_FALSE(timer.Running());
}

TEST(SimpleTimer, RestartMovesTheNextFiring) {
  TFirings firings;
  TSimpleTimer timer(0, firings.Handler());
  timer.SetPeriod(300);
  timer.SetArmed(true);
  Pump(150);
  firings.Clock.restart();
  timer.SetArmed(true);
  ASSERT_TRUE(WaitUntil([&] { return firings.Count >= 1; }, 5000));
  EXPECT_GE(firings.FirstAtMs, 299);
}

TEST(SimpleTimer, OneShotFiresOnceAndHandlerMayStopItsOwnTimer) {
  TFirings firings;
  TSimpleTimer oneShot(10, firings.Handler());
  oneShot.OneShot = true;
  oneShot.SetArmed(true);
  ASSERT_TRUE(WaitUntil([&] { return firings.Count >= 1; }, 5000));
  Pump(80);
  EXPECT_EQ(firings.Count, 1);
  EXPECT_FALSE(oneShot.Armed());

  int selfStopped = 0;
  TSimpleTimer self(10, [&](TSimpleTimer* sender) {
    ++selfStopped;
    sender->SetArmed(false);
  });
  self.SetArmed(true);
  ASSERT_TRUE(WaitUntil([&] { return selfStopped >= 1; }, 5000));
  Pump(80);
  EXPECT_EQ(selfStopped, 1);
}

TEST(SimpleTimer, LastDestructionFreesTheSharedHandler) {
  ASSERT_EQ(SharedHandler(), nullptr);
  auto first = std::make_unique<TSimpleTimer>(10, nullptr);
  auto second = std::make_unique<TSimpleTimer>(10, nullptr);
  ASSERT_NE(SharedHandler(), nullptr);
  EXPECT_EQ(SharedHandler()->TimerCount, 2u);
  first.reset();
  EXPECT_EQ(SharedHandler()->TimerCount, 1u);
  second.reset();
  EXPECT_EQ(SharedHandler(), nullptr);
  TSimpleTimer third(10, nullptr);
  ASSERT_NE(SharedHandler(), nullptr);
  EXPECT_EQ(SharedHandler()->TimerCount, 1u);
}

TEST(SimpleTimer, NoEventReachesADestroyedTimer) {
  TFirings survivor;
  TSimpleTimer keeper(5, survivor.Handler());
  keeper.SetArmed(true);
  int destroyedFirings = 0;
  {
    TSimpleTimer doomed(1, [&](TSimpleTimer*) { ++destroyedFirings; });
    doomed.SetArmed(true);
    QThread::msleep(20);  // its event is due but not yet delivered
  }
  ASSERT_TRUE(WaitUntil([&] { return survivor.Count >= 3; }, 5000));
  EXPECT_EQ(destroyedFirings, 0);
}

TEST(SimpleTimer, NoHandlerRunsWhileEventsAreNotProcessed) {
  TFirings firings;
  TSimpleTimer timer(10, firings.Handler());
  timer.SetArmed(true);
  QThread::msleep(100);  // a long blocking call
  EXPECT_EQ(firings.Count, 0);
  EXPECT_TRUE(WaitUntil([&] { return firings.Count >= 1; }, 5000));
}

}  // namespace
