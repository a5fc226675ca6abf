#include <gtest/gtest.h>

#include <QProcess>

#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;

// Four readers holding the same records, visited at the same moment, again and again: a race
// between the duplicate test and the insert would store some record twice.
TEST(Parallel, ReadersHoldingTheSameRecordsStoreEachOnce) {
  for (std::uint32_t round = 1; round <= 5; ++round) {
    TProgramFolder folder;
    std::vector<std::unique_ptr<ReaderSim>> sims;
    for (int i = 0; i < 4; ++i) {
      sims.push_back(std::make_unique<ReaderSim>(readersim::SampleLog(150, round)));
      folder.AddReader("127.0.0.1", QString::number(sims.back()->Port()), false, true, true);
    }
    ASSERT_TRUE(folder.RunProgram(90000, {"QUILLMERE_JOBS=4"})) << round;
    EXPECT_EQ(folder.RecordCount(), 150) << round;
    EXPECT_EQ(folder.DoubledRecords(), 0) << round;
    EXPECT_EQ(folder.Query("SELECT COUNT(*), SUM(added), SUM(duplicates) FROM visits WHERE outcome = 'done'"),
              QStringList{"4|150|450"})
        << round;
    for (const auto& sim : sims) EXPECT_EQ(sim->LogSize(), 0u) << round;
  }
}

// Each visit's row and line, whichever worker made it; a row that cannot be read is that row's
// failure, said in its line, and the rows after it are visited.
TEST(Parallel, EveryVisitIsJournalledAndABadRowStopsNoOther) {
  TProgramFolder folder;
  SimFaults silent;
  silent.Silent = true;
  SimFaults differs;
  differs.CapacityDiffers = true;
  ReaderSim good(readersim::SampleLog(60, 1));
  ReaderSim mute({}, silent);
  ReaderSim odd(readersim::SampleLog(10, 2), differs);
  ReaderSim later(readersim::SampleLog(10, 3));
  const QString refused = QString::number(ClosedLoopbackPort());
  folder.AddReader("127.0.0.1", QString::number(mute.Port()), false, true, false);
  folder.AddReader("127.0.0.1", QString::number(good.Port()), true, true, true);
  folder.AddReader("127.0.0.1", refused, false, true, false);
  folder.AddReader("127.0.0.1", QString::number(odd.Port()), false, true, false);
  folder.Execute(QStringLiteral("INSERT INTO readers VALUES ('127.0.0.1', '%1', NULL, 1, 0)").arg(later.Port()));
  folder.AddReader("127.0.0.1", QString::number(later.Port()), false, true, false);
  ASSERT_TRUE(folder.RunProgram(90000, {"QUILLMERE_JOBS=3"}));
  EXPECT_EQ(folder.ExitCode, 0);
  EXPECT_TRUE(folder.ErrorOutput.contains("Could not convert NULL in column 'setclk' to a boolean")) << folder.ErrorOutput.toStdString();
  QStringList expected = {QString::number(mute.Port()) + "|no_response", QString::number(good.Port()) + "|done",
                          refused + "|unreachable", QString::number(odd.Port()) + "|link_check_failed",
                          QString::number(later.Port()) + "|bad_row", QString::number(later.Port()) + "|done"};
  QStringList outcomes = folder.Query("SELECT ipport, outcome FROM visits");
  expected.sort();
  outcomes.sort();
  EXPECT_EQ(outcomes, expected);
  EXPECT_EQ(later.Connections(), 1);  // a row that cannot be read stops no other
  EXPECT_EQ(folder.RecordCount(), 70);
  EXPECT_EQ(good.LogSize(), 0u);
}

// Texts that reach one reader name one reader: its download and its clear never overlap. A port
// outside 1 to 65535 would reach another reader through its low 16 bits: a bad row, skipped, as
// is one too long for any number.
TEST(Parallel, OneReaderUnderSeveralTextsIsVisitedOnceAtATime) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(1000, 6));
  const QString port = QString::number(sim.Port());
  folder.AddReader("127.0.0.1", port, false, true, false);
  folder.AddReader("localhost", port, false, false, true);
  folder.AddReader("127.000.000.001", "0" + port, false, true, false);
  folder.AddReader("0.0.0.0", port, false, true, false);  // reaches this machine's listener too
  for (const QString& bad : {QStringLiteral("-1"), QStringLiteral("0"), QString::number(sim.Port() + 65536),
                             QStringLiteral("99999999999")}) {
    folder.AddReader("127.0.0.1", bad, false, false, true);
  }
  ASSERT_TRUE(folder.RunProgram(90000, {"QUILLMERE_JOBS=6"}));
  EXPECT_EQ(folder.RecordCount(), 1000);
  EXPECT_EQ(folder.Query("SELECT ipaddr, outcome, added FROM visits ORDER BY id"),
            (QStringList{"127.0.0.1|done|1000", "localhost|done|0", "127.000.000.001|done|0", "0.0.0.0|done|0",
                         "127.0.0.1|bad_row|0", "127.0.0.1|bad_row|0", "127.0.0.1|bad_row|0", "127.0.0.1|bad_row|0"}));
  EXPECT_EQ(sim.Connections(), 4);
}

// On a desktop, failures keep the readers window open for a person to read, yet the run has let
// go of the collection: the next run takes the lock and visits every reader meanwhile. A run
// without failures closes its window and ends by itself.
TEST(Parallel, OnADesktopTheFailuresStayShownAfterTheRunHasLetGoOfTheCollection) {
  const TXServer display;
  ASSERT_TRUE(display.Started());
  TProgramFolder folder;
  SimFaults differs;
  differs.CapacityDiffers = true;
  ReaderSim good(readersim::SampleLog(66, 1));
  ReaderSim odd(readersim::SampleLog(10, 2), differs);
  folder.AddReader("127.0.0.1", QString::number(good.Port()), false, true, true);
  folder.AddReader("127.0.0.1", QString::number(ClosedLoopbackPort()), false, true, false);
  folder.AddReader("127.0.0.1", QString::number(odd.Port()), false, true, false);
  QProcess shown;
  folder.Start(shown, display.Environment() << "QUILLMERE_JOBS=3");
  QString output;
  ASSERT_TRUE(folder.AwaitRunReleased(shown, output, 60000)) << output.toStdString();
  EXPECT_FALSE(shown.waitForFinished(1000)) << "the window with the failures closed";
  EXPECT_EQ(folder.RecordCount(), 66);

  ASSERT_TRUE(folder.RunProgram(60000, {"QUILLMERE_JOBS=3"}));
  EXPECT_EQ(folder.ExitCode, 0);
  EXPECT_TRUE(folder.ErrorOutput.contains("run ended: 3 readers visited")) << folder.ErrorOutput.toStdString();
  // Only journal lines: a window that resizes itself without a window manager makes Qt warn.
  EXPECT_FALSE(folder.ErrorOutput.contains("This plugin does not support")) << folder.ErrorOutput.toStdString();

  TProgramFolder fine;
  fine.AddReader("127.0.0.1", QString::number(good.Port()), false, true, false);
  ASSERT_TRUE(fine.RunProgram(60000, display.Environment() << "QUILLMERE_JOBS=3"));
  EXPECT_EQ(fine.ExitCode, 0);
  EXPECT_TRUE(fine.ErrorOutput.contains(", 1 done, 0 not")) << fine.ErrorOutput.toStdString();
  shown.terminate();
  shown.waitForFinished();
}

// Under --jobs a log left on its reader is read on from where the last run left off: page 0, the
// page that held the last record stored and the new ones, said in the visit's line. A plain run
// walks every page as ever, whatever was remembered.
TEST(Parallel, AKeptLogIsReadOnFromWhereTheLastRunLeftOff) {
  TProgramFolder folder;
  ReaderSim sim(readersim::SampleLog(100, 7));
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), false, true, false);
  const auto pagesOfRun = [&](const QStringList& Environment) {
    const std::size_t before = sim.Commands().size();
    EXPECT_TRUE(folder.RunProgram(90000, Environment));
    std::vector<std::string> pages;
    const std::vector<std::string> sent = sim.Commands();
    for (std::size_t i = before; i < sent.size(); ++i) {
      if (sent[i].rfind("000a00", 0) == 0) pages.push_back(sent[i].substr(6));
    }
    return pages;
  };
  using Pages = std::vector<std::string>;
  EXPECT_EQ(pagesOfRun({"QUILLMERE_JOBS=2"}), (Pages{"0000", "0100", "0200", "0300"}));
  sim.ReplaceLog(readersim::SampleLog(140, 7));  // the same log, 40 records more
  EXPECT_EQ(pagesOfRun({"QUILLMERE_JOBS=2"}), (Pages{"0000", "0300", "0400"}));
  EXPECT_TRUE(folder.ErrorOutput.contains("done: 40 added, 34 duplicates, 0 invalid of 140 reported; the walk started at page 3 of a "
                                          "kept log"))
      << folder.ErrorOutput.toStdString();
  EXPECT_EQ(folder.RecordCount(), 140);
  EXPECT_EQ(pagesOfRun({}), (Pages{"0000", "0100", "0200", "0300", "0400"}));
  EXPECT_EQ(folder.RecordCount(), 140);
}

}  // namespace
