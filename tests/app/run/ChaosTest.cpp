#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QSet>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;

constexpr int Records = 50;
constexpr int MaxRuns = 10;
constexpr int RunLimitMs = 180000;

// A reader that drops, corrupts, delays and interrupts its replies at random, visited by the
// real program with clear after on until its log is empty: every record must end up stored,
// none twice, none invented, and the log cleared only once everything was stored.
class Chaos : public testing::TestWithParam<std::uint32_t> {};

TEST_P(Chaos, RepeatedRunsStoreExactlyTheReadersRecords) {
  const std::uint32_t seed = GetParam();
  const auto log = readersim::SampleLog(Records, seed);
  QSet<QString> held;
  for (const auto& record : log) held.insert(StoredKey(record));
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

// Twenty chaotic readers visited eight at a time, the program killed at moments spread over a
// run, then runs to the end: the file intact after every kill, every record stored exactly
// once, and no reader's log cleared before all its records were stored.
TEST(ChaosParallel, TwentyChaoticReadersEightAtATimeSurviveKills) {
  constexpr int Readers = 20;
  const QStringList eightJobs = {"QUILLMERE_JOBS=8"};
  TProgramFolder folder;
  std::vector<std::unique_ptr<ReaderSim>> sims;
  std::vector<QSet<QString>> held(Readers);
  QSet<QString> all;
  for (int i = 0; i < Readers; ++i) {
    const auto seed = static_cast<std::uint32_t>(100 + i);
    for (const auto& record : readersim::SampleLog(Records, seed)) held[i].insert(StoredKey(record));
    all.unite(held[i]);
    readersim::SimFaults faults;
    faults.ChaosSeed = seed;
    sims.push_back(std::make_unique<ReaderSim>(readersim::SampleLog(Records, seed), faults));
    folder.AddReader("127.0.0.1", QString::number(sims.back()->Port()), true, true, true);
  }
  const auto check = [&](const std::string& When) {
    ASSERT_EQ(folder.DoubledRecords(), 0) << When;
    const QStringList rows = folder.Query("SELECT RECTIME || '|' || CARDNO FROM records");
    const QSet<QString> stored(rows.begin(), rows.end());
    ASSERT_TRUE(all.contains(stored)) << When << ": a record no reader held";
    for (int i = 0; i < Readers; ++i) {
      if (sims[i]->LogSize() == 0) {
        ASSERT_TRUE(stored.contains(held[i])) << When << ": reader " << i << " cleared unread";
      }
    }
  };
  for (int point = 0; point < 5; ++point) {
    QProcess run;
    folder.Start(run, eightJobs);
    if (!run.waitForFinished(1000 + point * 1500)) {
      ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
      run.waitForFinished();
    }
    ASSERT_EQ(folder.Query("PRAGMA integrity_check"), QStringList{"ok"}) << "kill " << point;
    check("after kill " + std::to_string(point));
  }
  for (int run = 0; run < MaxRuns && folder.RecordCount() < all.size(); ++run) {
    ASSERT_TRUE(folder.RunProgram(RunLimitMs, eightJobs)) << "run " << run;
    ASSERT_EQ(folder.ExitCode, 0) << folder.ErrorOutput.toStdString();
    check("after run " + std::to_string(run));
  }
  EXPECT_EQ(folder.RecordCount(), all.size());
}

}  // namespace
