#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <time.h>

#include <QElapsedTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Errors.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "ReaderSim.h"
#include "StatusLine.h"
#include "StatusWindowObserver.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;
using readersim::SimFaults;
using readersim::SimRecord;
using Commands = std::vector<std::string>;

const std::string Lock = "0000011027";
const std::string Unlock = "0000001027";
const std::string Options = "00080480";
const std::string Capacity = "000300";

std::string WithWord(const char* Prefix, int Word) {
  return QString::asprintf("%s%02x%02x", Prefix, Word & 0xFF, Word >> 8).toStdString();
}

std::string Page(int Index) {
  return WithWord("000a00", Index);
}

std::string Clear(std::uint16_t Mark) {
  return WithWord("000500", Mark);
}

class TRecordingStatus final : public IStatusLine {
 public:
  void SetStatusText(const QString& Text) override { Texts << Text; }
  void SetStatusVisible(bool Shown) override { Visible = Shown; }
  QStringList Texts;
  bool Visible = true;
};

struct TCounted final : IDownloadProgress {
  explicit TCounted(int& ASteps) : Steps(ASteps) {}
  void Step() override { ++Steps; }
  void Hide() override {}
  int& Steps;
};

std::vector<SimRecord> Log(int Count, std::uint32_t FirstCard = 1000) {
  std::vector<SimRecord> log;
  for (int i = 0; i < Count; ++i) {
    log.push_back({static_cast<std::uint8_t>(i % 3), FirstCard + static_cast<std::uint32_t>(i),
                   readersim::TimeCode(2026, 3, 1 + i / 1440, i / 60 % 24, i % 60, 7), false});
  }
  return log;
}

// One reader pass at a time against emulated readers, on a real database file.
class ReaderPass : public testing::Test {
 protected:
  void SetUp() override {
    Db.OpenDatabase(Folder.DatabasePath());
    Timings.DrainQuietMs = 30;
    Timings.ReplyWaitMs = 400;
    Timings.ClearReplyWaitMs = 600;
  }

  // Connects and, if that works, runs the pass; false when the reader was skipped.
  bool Visit(const ReaderSim& Sim, TPassFlags Flags = {true, true, true}) {
    TReader link(Timings);
    TReaderPass pass(link, Db, Shown);
    if (!pass.ConfigureReader(QStringLiteral("127.0.0.1"), QString::number(Sim.Port()))) return false;
    pass.ReaderPass(Flags);
    Counters = pass.Counters();
    return true;
  }
  // A whole pass over a reader of 70 records that misbehaves as Faults say, into a file of its own.
  struct TFreshPass {
    TPassCounters Counters;
    Commands Sent;
    std::size_t LogLeft = 0;
    bool Locked = false;
  };
  TFreshPass PassOnFreshFile(const SimFaults& Faults, const TPassFlags& Flags) {
    TLogFolder folder;
    TLogDatabase db;
    db.OpenDatabase(folder.DatabasePath());
    ReaderSim sim(Log(70), Faults);
    TReader link(Timings);
    TReaderPass pass(link, db, Shown);
    pass.ConfigureReader(QStringLiteral("127.0.0.1"), QString::number(sim.Port()));
    pass.ReaderPass(Flags);
    return {pass.Counters(), sim.Commands(), sim.LogSize(), sim.Locked()};
  }
  QStringList Stored() const { return Folder.Query("SELECT RECTIME, CARDNO, READER, MODE FROM records ORDER BY RECTIME"); }
  int StoredCount() const { return Folder.Query("SELECT COUNT(*) FROM records").front().toInt(); }

  TLogFolder Folder;
  TLogDatabase Db;
  QWidget Owner;
  TRecordingStatus Status;
  TStatusWindowObserver Shown{Status, Owner};
  TRecordingMessageBox Messages;
  TLinkTimings Timings;
  TPassCounters Counters;
};

// A long download says how far it is in the journal, in records and pages, at most once an
// interval, and still shows every step as before.
TEST(DownloadProgress, ALongDownloadSaysHowFarItIsAtMostOnceAnInterval) {
  int shown = 0;
  TCapturedErrors errors;
  {
    const auto always = JournalledProgress(std::make_unique<TCounted>(shown), "10.0.0.1:4001", 70, 33, std::chrono::milliseconds(0));
    for (int i = 0; i < 34; ++i) always->Step();
    const auto seldom = JournalledProgress(std::make_unique<TCounted>(shown), "10.0.0.1:4002", 70, 33);
    for (int i = 0; i < 70; ++i) seldom->Step();
  }
  const QList<QByteArray> lines = errors.Text().split('\n');
  EXPECT_EQ(shown, 104);
  ASSERT_EQ(lines.size(), 35);  // and the last line break
  EXPECT_EQ(lines[0], "<6>10.0.0.1:4001 downloading: 1 of 70 records read, page 1 of 3");
  EXPECT_EQ(lines[33], "<6>10.0.0.1:4001 downloading: 34 of 70 records read, page 2 of 3");
}

TEST_F(ReaderPass, AFullPassSendsEveryCommandInOrderAndStoresEveryRecord) {
  ReaderSim sim(Log(70));
  const std::uint16_t mark = sim.LogMark();
  ASSERT_TRUE(Visit(sim));
  const Commands sent = sim.Commands();
  ASSERT_EQ(sent.size(), 10u);
  EXPECT_EQ(sent[0], Lock);
  EXPECT_EQ(sent[1].substr(0, 4), "0002");  // the clock, without a lock of its own
  EXPECT_EQ(sent[1].size(), 18u);
  EXPECT_EQ(Commands(sent.begin() + 2, sent.end()),
            (Commands{Options, Capacity, Capacity, Page(0), Page(1), Page(2),
                      Clear(mark), Unlock}));
  EXPECT_EQ(Status.Texts, (QStringList{"Locking", "Set Options", "Get Capacity", "Downloading", "Clearing", "UnLocking"}));
  EXPECT_FALSE(Status.Visible);
  EXPECT_EQ(Counters.Added, 70);
  EXPECT_EQ(sim.LogSize(), 0u);
  EXPECT_FALSE(sim.Locked());
  const QStringList rows = Stored();
  ASSERT_EQ(rows.size(), 70);
  EXPECT_EQ(rows.front(), "2026-03-01 00:00:07|1000|127.0.0.1|1");
  EXPECT_EQ(rows[1], "2026-03-01 00:01:07|1001|127.0.0.1|2");
  EXPECT_EQ(rows[2], "2026-03-01 00:02:07|1002|127.0.0.1|0");
  EXPECT_EQ(rows.back(), "2026-03-01 01:09:07|1069|127.0.0.1|1");
}

// A reader's own request for its clock is served once a pass, inside the lock, however often
// it asks; one that never asks gets the clock only when the row says so.
TEST_F(ReaderPass, AClockRequestIsServedOnceAPassInsideTheLock) {
  Timings.DrainLimitMs = 100;
  const struct {
    const char* Name;
    int StatusEveryMs;
    int StatusTimes;
    bool SetClock;
    int ClockCommands;
  } cases[] = {
      {"asks every 10 ms", 10, -1, false, 1},
      {"asks every 10 ms, the row sets the clock too", 10, -1, true, 1},
      {"asks once", 60, 1, false, 1},
      {"never asks", 0, -1, false, 0},
      {"never asks, the row sets the clock", 0, -1, true, 1},
  };
  for (const auto& c : cases) {
    SimFaults faults;
    faults.StatusEveryMs = c.StatusEveryMs;
    faults.StatusTimes = c.StatusTimes;
    const TFreshPass pass = PassOnFreshFile(faults, {c.SetClock, true, true});
    const Commands& sent = pass.Sent;
    std::vector<std::size_t> clocks;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      if (sent[i].rfind("0002", 0) == 0) clocks.push_back(i);
    }
    ASSERT_EQ(clocks.size(), static_cast<std::size_t>(c.ClockCommands)) << c.Name;
    if (!clocks.empty()) {
      EXPECT_EQ(std::find(sent.begin(), sent.end(), Lock) - sent.begin(), 0) << c.Name;
      EXPECT_LT(clocks.front(), static_cast<std::size_t>(std::find(sent.begin(), sent.end(), Unlock) - sent.begin())) << c.Name;
    }
    EXPECT_EQ(pass.Counters.Added, 70) << c.Name;
    EXPECT_EQ(pass.LogLeft, 0u) << c.Name;
  }
}

TEST_F(ReaderPass, RecordsStoredBeforeOrByAnotherReaderAreNotStoredAgain) {
  ReaderSim first(Log(40));
  ASSERT_TRUE(Visit(first, {false, true, false}));
  ASSERT_TRUE(Visit(first, {false, true, false}));
  EXPECT_EQ(Counters.Added, 0);
  EXPECT_EQ(Counters.Duplicated, 40);
  std::vector<SimRecord> overlapping = Log(50);
  for (auto& record : overlapping) record.ModeBits = 1;  // another mode does not matter
  ReaderSim second(overlapping);
  ASSERT_TRUE(Visit(second, {false, true, false}));
  EXPECT_EQ(Counters.Added, 10);
  EXPECT_EQ(Counters.Duplicated, 40);
  EXPECT_EQ(StoredCount(), 50);
}

TEST_F(ReaderPass, AnEmptyLogIsUnlockedAndNeverCleared) {
  ReaderSim sim({});
  ASSERT_TRUE(Visit(sim, {false, true, true}));
  EXPECT_EQ(sim.Commands(), (Commands{Lock, Options, Capacity, Capacity, Unlock}));
  EXPECT_EQ(Owner.findChildren<QWidget*>().size(), 0);  // no progress window was left
}

TEST_F(ReaderPass, CapacityRepliesThatDifferEndWithAnUnlockOnly) {
  SimFaults faults;
  faults.CapacityDiffers = true;
  ReaderSim sim(Log(10), faults);
  ASSERT_TRUE(Visit(sim, {false, true, true}));
  EXPECT_EQ(sim.Commands(), (Commands{Lock, Options, Capacity, Capacity, Unlock}));
  EXPECT_EQ(StoredCount(), 0);
  EXPECT_EQ(sim.LogSize(), 10u);
}

TEST_F(ReaderPass, DownloadOffWithClearOnClearsWithoutReading) {
  ReaderSim sim(Log(10));
  const std::uint16_t mark = sim.LogMark();
  testing::internal::CaptureStderr();
  ASSERT_TRUE(Visit(sim, {false, false, true}));
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              testing::HasSubstr(QStringLiteral("<4>127.0.0.1:%1: download is off and clear after is on: 10 records "
                                                "cleared unread\n")
                                     .arg(sim.Port())
                                     .toStdString()));
  EXPECT_EQ(sim.Commands(), (Commands{Lock, Options, Capacity, Capacity, Clear(mark), Unlock}));
  EXPECT_EQ(StoredCount(), 0);
  EXPECT_EQ(sim.LogSize(), 0u);
}

TEST_F(ReaderPass, InvalidSlotsAreCountedAndSkipped) {
  std::vector<SimRecord> log = Log(5);
  log[1].TimeCode = 0;
  log[3].TimeCode = readersim::TimeCode(2023, 2, 29, 10, 0, 0);
  ReaderSim sim(log);
  ASSERT_TRUE(Visit(sim, {false, true, false}));
  EXPECT_EQ(Counters.Invalid, 2);
  EXPECT_EQ(Counters.Added, 3);
  EXPECT_EQ(Folder.Query("SELECT CARDNO FROM records ORDER BY RECTIME"), (QStringList{"1000", "1002", "1004"}));
}

TEST_F(ReaderPass, AnAbsentSlotEndsTheWalkAndSlot32IsARecord) {
  std::vector<SimRecord> log = Log(80);
  log[33 + 10].BadSlotCheck = true;  // page 1, slot 10
  ReaderSim sim(log);
  ASSERT_TRUE(Visit(sim, {false, true, false}));
  EXPECT_EQ(Counters.Added, 43);  // page 0 whole, slot 32 included, then slots 0 to 9 of page 1
  EXPECT_EQ(Folder.Query("SELECT CARDNO FROM records WHERE CARDNO = 1032"), QStringList{"1032"});
  const Commands sent = sim.Commands();
  EXPECT_EQ(Commands(sent.end() - 3, sent.end()), (Commands{Page(0), Page(1), Unlock}));
}

TEST_F(ReaderPass, ASilentReaderGetsThreeLockAttemptsEachFollowedByAReconnect) {
  SimFaults faults;
  faults.Silent = true;
  ReaderSim sim(Log(5), faults);
  ASSERT_TRUE(Visit(sim));
  EXPECT_EQ(sim.Commands(), (Commands{Lock, Lock, Lock}));
  ASSERT_TRUE(WaitUntil([&] { return sim.Connections() == 4; }, 2000));
  EXPECT_EQ(Status.Texts, (QStringList{"Locking", "No response"}));
  EXPECT_FALSE(Status.Visible);
  EXPECT_TRUE(Messages.Texts.isEmpty());
}

// A line that cannot be made again is the one thing a person is shown, once, naming the reader.
TEST_F(ReaderPass, AReaderGoneInMidPassIsOneBoxThatNamesIt) {
  SimFaults faults;
  faults.GoneAfter = 3;
  ReaderSim sim(Log(5), faults);
  ASSERT_TRUE(Visit(sim, {false, true, false}));
  EXPECT_EQ(Messages.Texts, QStringList{QStringLiteral("Failed to connect reader (127.0.0.1:%1). Please retry later!").arg(sim.Port())});
}

TEST_F(ReaderPass, ARefusedConnectionSkipsTheReaderSilently) {
  const int closedPort = ClosedLoopbackPort();
  TReader link(Timings);
  TReaderPass pass(link, Db, Shown);
  EXPECT_FALSE(pass.ConfigureReader(QStringLiteral("127.0.0.1"), QString::number(closedPort)));
  EXPECT_TRUE(Messages.Texts.isEmpty());
}

TEST_F(ReaderPass, APortTextThatIsNoNumberRaises) {
  TReader link(Timings);
  TReaderPass pass(link, Db, Shown);
  try {
    pass.ConfigureReader(QStringLiteral("127.0.0.1"), QStringLiteral("nosuchport"));
    FAIL();
  } catch (const EConvertError& error) {
    EXPECT_STREQ(error.what(), "'nosuchport' is not a valid integer value");
  }
}

TEST_F(ReaderPass, ADroppedConnectionIsRecoveredWithNothingLostOrDoubled) {
  SimFaults faults;
  faults.CloseOn = {5};  // the first page request (lock, clock, options, two capacity requests before it)
  ReaderSim sim(Log(70), faults);
  ASSERT_TRUE(Visit(sim));
  EXPECT_EQ(StoredCount(), 70);
  EXPECT_EQ(Folder.Query("SELECT COUNT(DISTINCT RECTIME || CARDNO) FROM records"), QStringList{"70"});
  EXPECT_EQ(sim.LogSize(), 0u);
  EXPECT_GE(sim.Connections(), 2);
  EXPECT_TRUE(Messages.Texts.isEmpty());
}

TEST_F(ReaderPass, AShortReplyToAPageRequestIsAMissedReply) {
  SimFaults faults;
  faults.ShortReplyTo = {6};  // the request for page 1
  ReaderSim sim(Log(70), faults);
  ASSERT_TRUE(Visit(sim));
  EXPECT_EQ(Counters.Added, 70);
  EXPECT_EQ(StoredCount(), 70);
  const Commands sent = sim.Commands();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), Page(1)), 2);
  EXPECT_EQ(sim.LogSize(), 0u);
}

TEST_F(ReaderPass, PageRequestsThatNeverGetTheirReplyLeaveTheLogUncleared) {
  SimFaults faults;
  faults.ShortReplyTo = {6, 7, 8};
  ReaderSim sim(Log(70), faults);
  ASSERT_TRUE(Visit(sim));
  EXPECT_EQ(StoredCount(), 33);
  EXPECT_EQ(sim.LogSize(), 70u);
  EXPECT_TRUE(sim.Locked());
  EXPECT_EQ(Status.Texts.back(), "No response");
}

TEST_F(ReaderPass, AFailedStoreLeavesTheReaderLockedAndUncleared) {
  Folder.Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.CARDNO = 1020 "
      "BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
  ReaderSim sim(Log(40));
  ASSERT_TRUE(Visit(sim));
  EXPECT_EQ(StoredCount(), 0);  // the page goes back whole, and is read again next time
  EXPECT_EQ(Counters.Added, 0);
  EXPECT_TRUE(sim.Locked());
  EXPECT_EQ(sim.LogSize(), 40u);
  EXPECT_EQ(sim.Commands().back(), Page(0));
  EXPECT_FALSE(Status.Visible);
}

// Each reply must be the one its command asked for: a late clock reply taken for the options
// reply, or a capacity reply too short to hold its words, once shifted or invented the counts.
TEST_F(ReaderPass, LateOrShortRepliesAreNeverTakenForAnotherCommand) {
  const struct {
    const char* Name;
    int ReplyDelayMs;
    std::set<int> ShortReplyTo;
    std::size_t Commands;
  } cases[] = {
      {"every reply later than the quiet before a command", 100, {}, 10},
      {"an error frame in answer to the first capacity request", 0, {3}, 11},
  };
  for (const auto& c : cases) {
    SimFaults faults;
    faults.ReplyDelayMs = c.ReplyDelayMs;
    faults.ShortReplyTo = c.ShortReplyTo;
    const TFreshPass pass = PassOnFreshFile(faults, {true, true, true});
    EXPECT_EQ(pass.Counters.Added, 70) << c.Name;
    EXPECT_EQ(pass.LogLeft, 0u) << c.Name;
    EXPECT_FALSE(pass.Locked) << c.Name;
    EXPECT_EQ(pass.Sent.size(), c.Commands) << c.Name;
  }
}

// A stop is read at each step and before each page: wherever it comes, what was committed stays,
// the reader gets its unlock once if it was locked, nothing is cleared, and the visit says why.
TEST_F(ReaderPass, AStopEndsThePassAtItsNextStepOrPageWithTheReaderUnlocked) {
  struct TSeen final : TPassObserver {
    void Stepped(TPassStep Step) override { Steps.push_back(Step); }
    std::unique_ptr<IDownloadProgress> OpenProgress(int) override { return std::make_unique<TCounted>(Records); }
    std::vector<TPassStep> Steps;
    int Records = 0;
  };
  const struct {
    std::optional<TPassStep> At;  // none: once the first page's records are seen
    Commands Sent;
    int Stored;
  } cases[] = {
      {TPassStep::Locking, {}, 0},
      {TPassStep::SettingOptions, {Lock, Unlock}, 0},
      {TPassStep::ReadingCapacity, {Lock, Options, Unlock}, 0},
      {TPassStep::Downloading, {Lock, Options, Capacity, Capacity, Unlock}, 0},
      {std::nullopt, {Lock, Options, Capacity, Capacity, Page(0), Unlock}, 33},
      {TPassStep::Clearing, {Lock, Options, Capacity, Capacity, Page(0), Page(1), Page(2), Unlock}, 70},
  };
  for (const auto& c : cases) {
    const std::string where = c.At ? std::to_string(static_cast<int>(*c.At)) : "mid-walk";
    TLogFolder folder;
    TLogDatabase db;
    db.OpenDatabase(folder.DatabasePath());
    ReaderSim sim(Log(70));
    TSeen seen;
    const auto given = [&] {
      return c.At ? std::find(seen.Steps.begin(), seen.Steps.end(), *c.At) != seen.Steps.end() : seen.Records > 0;
    };
    TReader link(Timings);
    TReaderPass pass(link, db, seen, TStopToken(given, QStringLiteral("stopped")));
    pass.ConfigureReader(QStringLiteral("127.0.0.1"), QString::number(sim.Port()));
    pass.ReaderPass({false, true, true});
    const TVisit visit = pass.VisitOf({});
    EXPECT_EQ(visit.Outcome, TVisitOutcome::Interrupted) << where;
    EXPECT_EQ(visit.Detail, "stopped") << where;
    EXPECT_EQ(visit.Added, c.Stored) << where;
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM records").front().toInt(), c.Stored) << where;
    EXPECT_EQ(sim.Commands(), c.Sent) << where;
    EXPECT_FALSE(sim.Locked()) << where;
    EXPECT_EQ(sim.LogSize(), 70u) << where;
  }
}

// The clear's own, longer wait from both sides, each with a margin of two: a reply twice as late
// as any other command may take is still taken once; one at twice the clear's wait is missed,
// three tries in a row.
TEST_F(ReaderPass, TheClearWaitsLongerThanAnyOtherCommand) {
  Timings.ReplyWaitMs = 200;
  Timings.ClearReplyWaitMs = 800;
  const struct {
    int DelayMs;
    bool Taken;
  } cases[] = {{400, true}, {1600, false}};
  for (const auto& c : cases) {
    SimFaults faults;
    faults.ReplyDelayMsFor[0x05] = c.DelayMs;
    ReaderSim sim(Log(10), faults);
    Status.Texts.clear();
    ASSERT_TRUE(Visit(sim, {false, true, true}));
    const Commands sent = sim.Commands();
    if (c.Taken) {
      EXPECT_EQ(std::count(sent.begin(), sent.end(), Clear(0x2A51)), 1);
    }
    EXPECT_EQ(Status.Texts.back(), c.Taken ? "UnLocking" : "No response") << c.DelayMs;
    EXPECT_EQ(sim.Locked(), !c.Taken) << c.DelayMs;
  }
}

// A log left on its reader is read from where the last visit left off, when page 0 and the
// remembered page say it is still the log walked then; otherwise it is walked whole. Either way
// every record it holds ends up stored, the progress counts the records actually read, and a
// clear forgets what was remembered. A pass not asked to resume walks every page as ever.
TEST_F(ReaderPass, AKeptLogIsWalkedOnFromWhereTheLastVisitLeftOff) {
  struct TSeen final : TPassObserver {
    std::unique_ptr<IDownloadProgress> OpenProgress(int Records) override {
      Maximum = Records;
      return std::make_unique<TCounted>(Steps);
    }
    int Maximum = -1;
    int Steps = 0;
  };
  const std::vector<SimRecord> grown = Log(140);  // Log(100) and 40 more: pages 0 to 2 full, 3 full, 4 of 8
  const auto addCards = [&grown](ReaderSim& Sim) {
    for (std::size_t i = 100; i < grown.size(); ++i) Sim.PresentCard({grown[i], false});
  };
  const auto nothing = [](ReaderSim&) {};
  const struct {
    const char* Name;
    std::size_t WrapAt;
    std::function<void(ReaderSim&)> Change;
    bool Resumes;
    bool Clears;
    Commands Pages;  // of the second visit
    int Added;
    int Read;        // the progress's maximum and steps
    int Stored;
    int Kept;        // rows in kept_logs afterwards
  } cases[] = {
      {"40 cards since", 0, addCards, true, false, {Page(0), Page(3), Page(4)}, 40, 33 + 33 + 8, 140, 1},
      {"nothing new", 0, nothing, true, false, {Page(0), Page(3)}, 0, 33 + 1, 100, 1},
      {"another reader with as many records", 0, [](ReaderSim& Sim) { Sim.ReplaceLog(Log(100, 5000)); }, true, false,
       {Page(0), Page(1), Page(2), Page(3)}, 100, 100, 200, 1},
      {"wrapped", 100, addCards, true, false, {Page(0), Page(1), Page(2), Page(3)}, 40, 100, 140, 1},
      {"cleared after", 0, addCards, true, true, {Page(0), Page(3), Page(4)}, 40, 33 + 33 + 8, 140, 0},
      {"a pass not asked to resume", 0, addCards, false, false, {Page(0), Page(1), Page(2), Page(3), Page(4)}, 40, 140, 140, 1},
  };
  for (const auto& c : cases) {
    TLogFolder folder;
    TLogDatabase db;
    db.OpenDatabase(folder.DatabasePath());
    SimFaults faults;
    faults.WrapAt = c.WrapAt;
    ReaderSim sim(Log(100), faults);
    const auto visit = [&](bool Resumes, bool Clears, TSeen& Seen) {
      TReader link(Timings);
      TReaderPass pass(link, db, Seen);
      if (Resumes) pass.ResumeKeptLogs();
      pass.ConfigureReader(QStringLiteral("127.0.0.1"), QString::number(sim.Port()));
      pass.ReaderPass({false, true, Clears});
      return pass.VisitOf({});
    };
    TSeen first;
    ASSERT_EQ(visit(true, false, first).Added, 100) << c.Name;
    c.Change(sim);
    const std::size_t before = sim.Commands().size();
    TSeen second;
    const TVisit ended = visit(c.Resumes, c.Clears, second);
    Commands pages;
    const Commands sent = sim.Commands();
    std::copy_if(sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end(), std::back_inserter(pages),
                 [](const std::string& Command) { return Command.rfind("000a00", 0) == 0; });
    EXPECT_EQ(ended.Outcome, TVisitOutcome::Done) << c.Name << ": " << ended.Detail.toStdString();
    EXPECT_EQ(pages, c.Pages) << c.Name;
    EXPECT_EQ(ended.Added, c.Added) << c.Name;
    EXPECT_EQ(second.Maximum, c.Read) << c.Name;
    EXPECT_EQ(second.Steps, c.Read) << c.Name;
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM records").front().toInt(), c.Stored) << c.Name;
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM kept_logs").front().toInt(), c.Kept) << c.Name;
    EXPECT_EQ(ended.Detail.contains(QStringLiteral("; the walk started at page 3 of a kept log")), c.Pages.size() < 4) << c.Name;
  }
}

}  // namespace
