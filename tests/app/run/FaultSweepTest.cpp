#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;

constexpr int Readers = 3;
constexpr int RecordsPerReader = 70;
constexpr int RunLimitMs = 120000;
constexpr int RunsAtOnce = 20;
// The default sweep: every point this close to either end (opening, closing) and a stride
// through the middle, about SampledPoints in all per mode.
constexpr long EdgePoints = 8;
constexpr long SampledPoints = 40;

// One start of the real program beside a logs.mdb of its own and three fresh readers with clear
// after on, the Nth write, sync, rename or truncation of logs.mdb* made to fail (none when 0).
class TFaultRun {
 public:
  TFaultRun(long AFaultAt, const QString& AErrno, bool AParallel) : FaultAt(AFaultAt), Errno(AErrno), Parallel(AParallel) {
    for (int i = 0; i < Readers; ++i) {
      const auto log = readersim::SampleLog(RecordsPerReader, static_cast<std::uint32_t>(i + 1));
      Sims.push_back(std::make_unique<ReaderSim>(log));
      Held.emplace_back();
      for (const auto& record : log) Held.back().insert(StoredKey(record));
      Folder.AddReader("127.0.0.1", QString::number(Sims.back()->Port()), false, true, true);
    }
  }

  void Start() {
    QStringList environment = {"LD_PRELOAD=" FAULT_INJECTOR, "QUILLMERE_FAULT_AT=" + QString::number(FaultAt),
                               "QUILLMERE_FAULT_ERRNO=" + Errno, "QUILLMERE_FAULT_REPORT=" + ReportPath(),
                               // The injector comes before a sanitizer's runtime, which is fine.
                               "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0"};
    if (Parallel) environment << "QUILLMERE_JOBS=3";
    Folder.Start(Process, environment);
  }

  void Finish() {
    Ended = Process.waitForFinished(RunLimitMs);
    if (!Ended) Process.kill();
    Process.waitForFinished();
    ErrorOutput = QString::fromLocal8Bit(Process.readAllStandardError());
    QFile report(ReportPath());
    if (report.open(QIODevice::ReadOnly)) {
      Calls = report.readLine().trimmed().toLong();
      FailedCall = QString::fromLocal8Bit(report.readLine().trimmed());
      FolderSyncs = report.readLine().trimmed().toLong();
    }
  }

  // Everything the run must leave true, whatever failed.
  void Check() const {
    const std::string mode = Parallel ? "--jobs 3" : "serial";
    const std::string where = FaultAt == 0 ? "without a fault (" + mode + "): "
                                           : "fault at " + std::to_string(FaultAt) + " (" + Errno.toStdString() + ", " + mode +
                                                 ", " + FailedCall.toStdString() + "): ";
    const std::string ending = Process.exitStatus() == QProcess::CrashExit ? "crashed" : "exit " + std::to_string(Process.exitCode());
    const std::string output = "\n" + ending + ", stderr:\n" + ErrorOutput.toStdString();
    ASSERT_TRUE(Ended) << where << "the run did not end" << output;
    // A crash also leaves no report of the failed call.
    EXPECT_EQ(Process.exitStatus(), QProcess::NormalExit) << where << "the program crashed" << output;
    ASSERT_EQ(Folder.Query("PRAGMA integrity_check"), QStringList{"ok"}) << where << output;
    const QStringList rows = Folder.Query("SELECT RECTIME || '|' || CARDNO FROM records");
    const QSet<QString> stored(rows.begin(), rows.end());
    const bool journalled = !Folder.Query("SELECT name FROM sqlite_master WHERE name = 'visits'").isEmpty();
    for (int i = 0; i < Readers; ++i) {
      const QString port = QString::number(Sims[i]->Port());
      const std::string reader = where + "reader " + std::to_string(i) + " (port " + port.toStdString() + ")";
      const auto storedOfReader =
          std::count_if(Held[i].begin(), Held[i].end(), [&](const QString& key) { return stored.contains(key); });
      if (Sims[i]->LogSize() == 0) {
        EXPECT_EQ(storedOfReader, RecordsPerReader)
            << reader << " was cleared with only " << storedOfReader << " of its records stored" << output;
      }
      const QStringList added = journalled ? Folder.Query("SELECT added FROM visits WHERE ipport = '" + port + "'") : QStringList{};
      for (const QString& visit : added) {
        EXPECT_LE(visit.toLong(), storedOfReader)
            << reader << "'s visit reports " << visit.toStdString() << " added, " << storedOfReader << " are stored" << output;
      }
    }
    // SQLite syncs the folder after making a journal and, by design, goes on when it cannot
    // (some file systems refuse): nothing reaches the program to report.
    const bool sqliteFolderSync = FailedCall == "fdatasync on " + QDir(Folder.Path()).absolutePath();
    if (!FailedCall.isEmpty() && !sqliteFolderSync) {
      EXPECT_TRUE(ErrorOutput.contains("<3>")) << where << "the failure gave no <3> line" << output;
      EXPECT_NE(Process.exitCode(), 0) << where << "the failure ended with exit 0" << output;
    }
  }

  int ClearedReaders() const {
    return static_cast<int>(std::count_if(Sims.begin(), Sims.end(), [](const auto& sim) { return sim->LogSize() == 0; }));
  }

  long Calls = 0;
  long FolderSyncs = 0;

 private:
  QString ReportPath() const { return Folder.Path() + "fault-report"; }

  long FaultAt;
  QString Errno;
  bool Parallel;
  TProgramFolder Folder;
  std::vector<std::unique_ptr<ReaderSim>> Sims;
  std::vector<QSet<QString>> Held;
  QProcess Process;
  bool Ended = false;
  QString ErrorOutput;
  QString FailedCall;
};

// Every point, or the default sample of them, from 1 to Total.
std::vector<long> FaultPoints(long Total) {
  const bool full = qEnvironmentVariableIsSet("QUILLMERE_SWEEP_FULL");
  const long stride = std::max(1L, Total / (SampledPoints - 2 * EdgePoints));
  std::vector<long> points;
  for (long n = 1; n <= Total; ++n) {
    if (full || n <= EdgePoints || n > Total - EdgePoints || n % stride == 0) points.push_back(n);
  }
  return points;
}

// The way SQLite tests itself: each write, sync, rename or truncation of logs.mdb* that a run
// makes fails in turn, and the run must lose nothing, claim nothing it did not store, say so,
// and leave a sound file. The full sweep: QUILLMERE_SWEEP_FULL=1.
class FaultSweep : public testing::TestWithParam<bool> {};

TEST_P(FaultSweep, NoFailurePointLosesRecordsOrPassesUnreported) {
  const bool parallel = GetParam();
  TFaultRun counting(0, {}, parallel);
  counting.Start();
  counting.Finish();
  counting.Check();
  ASSERT_GT(counting.Calls, 0) << "the injector saw no call: it was not preloaded, or SQLite bypasses libc";
  ASSERT_EQ(counting.ClearedReaders(), Readers) << "without a fault every reader must be cleared, or the sweep checks nothing";
  // A point never met is never failed: a new -wal's name is durable only through the folder's
  // sync, which must come before each clear.
  ASSERT_GE(counting.FolderSyncs, Readers) << "logs.mdb's folder was not synced before each clear";
  const std::vector<long> points = FaultPoints(counting.Calls);
  std::printf("%s: %ld fault points, %zu swept\n", parallel ? "--jobs 3" : "serial", counting.Calls, points.size());
  for (std::size_t first = 0; first < points.size(); first += RunsAtOnce) {
    std::vector<std::unique_ptr<TFaultRun>> runs;
    for (std::size_t i = first; i < std::min(points.size(), first + RunsAtOnce); ++i) {
      runs.push_back(std::make_unique<TFaultRun>(points[i], i % 2 == 0 ? "ENOSPC" : "EIO", parallel));
      runs.back()->Start();
    }
    for (const auto& run : runs) run->Finish();
    for (const auto& run : runs) run->Check();
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweep, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& Info) { return Info.param ? "Jobs3" : "Serial"; });

}  // namespace
