#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSet>

#include <cstdio>

#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;

constexpr int Records = 50;
constexpr int MaxRuns = 10;
constexpr int RunLimitMs = 180000;

// RECTIME as the reader's time code names it, decoded here without the product's code.
QString RecTimeOf(std::int32_t Code) {
  const int s = Code % 60;
  const int mi = Code / 60 % 60;
  const int h = Code / 3600 % 24;
  const int d = Code / 86400 % 32;
  const int mo = Code / (86400 * 32) % 13;
  const int y = 2000 + Code / (86400 * 32 * 13);
  return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
}

// A reader that drops, corrupts, delays and interrupts its replies at random, visited by the
// real program with clear after on until its log is empty: every record must end up stored,
// none twice, none invented, and the log cleared only once everything was stored.
class Chaos : public testing::TestWithParam<std::uint32_t> {};

TEST_P(Chaos, RepeatedRunsStoreExactlyTheReadersRecords) {
  const std::uint32_t seed = GetParam();
  const auto log = readersim::SampleLog(Records, seed);
  QSet<QString> held;
  for (const auto& record : log) held.insert(RecTimeOf(record.TimeCode) + '|' + QString::number(record.Card));
  readersim::SimFaults faults;
  faults.ChaosSeed = seed;
  ReaderSim sim(log, faults);
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, true);

  int runs = 0;
  QElapsedTimer elapsed;
  elapsed.start();
  for (int run = 0; run < MaxRuns && sim.LogSize() > 0; ++run, ++runs) {
    ASSERT_TRUE(folder.RunProgram(RunLimitMs)) << "seed " << seed << ": run " << run << " did not end";
    ASSERT_EQ(folder.ExitCode, 0) << "seed " << seed << ": run " << run << folder.ErrorOutput.toStdString();
    ASSERT_EQ(folder.DoubledRecords(), 0) << "seed " << seed;
    const QStringList stored = folder.Query("SELECT RECTIME || '|' || CARDNO FROM records");
    for (const QString& row : stored) ASSERT_TRUE(held.contains(row)) << "seed " << seed << ": invented " << row.toStdString();
    if (sim.LogSize() == 0) {
      ASSERT_EQ(stored.size(), Records) << "seed " << seed << ": the log was cleared before everything was stored";
    }
  }
  std::printf("seed %u: %d runs, %d connections, %lld ms\n", seed, runs, sim.Connections(),
              static_cast<long long>(elapsed.elapsed()));
  EXPECT_EQ(sim.LogSize(), 0u) << "seed " << seed << ": never cleared in " << MaxRuns << " runs";
  EXPECT_EQ(folder.RecordCount(), Records) << "seed " << seed;
}

INSTANTIATE_TEST_SUITE_P(Seeds, Chaos, testing::Range(1u, 21u));

}  // namespace
