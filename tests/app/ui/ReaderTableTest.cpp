#include <gtest/gtest.h>

#include <QBrush>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <functional>
#include <thread>

#include "Clock.h"
#include "Gauges.h"
#include "HolderView.h"
#include "HolderViewModel.h"
#include "LogDatabase.h"
#include "ReadersTable.h"
#include "ReaderBoard.h"
#include "ReaderTableModel.h"
#include "ReaderTableWindow.h"
#include "SiteConnection.h"
#include "WatchState.h"
#include "TestSupport.h"

namespace {

TVisit Ended(TVisitOutcome Outcome, int Added, int Duplicates, const QString& Detail = {}) {
  TVisit visit;
  visit.Outcome = Outcome;
  visit.Added = Added;
  visit.Duplicates = Duplicates;
  visit.Detail = Detail;
  return visit;
}

TVisit Cleared(TVisit Visit) {
  Visit.Cleared = true;
  return Visit;
}

struct TRowCase {
  const char* Name;
  std::function<void(TReaderTableModel&)> Feed;
  QString Status;
  bool MarkedFailed;
};

// What a person reads in a row, from the first activity to the outcome.
TEST(ReaderTable, ARowSaysWhatItsVisitDoesAndHowItEnded) {
  const TVisit skipped = [] {
    TVisit visit = Ended(TVisitOutcome::Done, 5, 0, "5 added, 0 duplicates, 0 invalid of 10 reported; not cleared: read 5 of 10");
    visit.ClearSkipped = true;
    visit.ClockSet = true;
    return visit;
  }();
  TVisit invalid = Ended(TVisitOutcome::Done, 3300, 0);
  invalid.Invalid = 2;
  const auto activity = [](TReaderActivity Activity) { return [Activity](TReaderTableModel& M) { M.SetActivity(0, Activity); }; };
  const auto downloading = [](int Steps, int Maximum) {
    return [Steps, Maximum](TReaderTableModel& M) {
      M.SetActivity(0, TReaderActivity::Downloading);
      M.SetProgress(0, Steps, Maximum);
    };
  };
  const auto outcome = [](TVisit Visit) { return [Visit](TReaderTableModel& M) { M.SetOutcome(0, Visit); }; };
  const TRowCase cases[] = {
      {"not started", [](TReaderTableModel&) {}, "waiting its turn", false},
      {"started", activity(TReaderActivity::Connecting), "connecting", false},
      {"download opened", downloading(0, 0), "downloading", false},
      {"download of one", downloading(0, 1), "downloading 0 of 1 record", false},
      {"download under way", downloading(120, 3300), "downloading 120 of 3300 records", false},
      {"steps before the text",
       [](TReaderTableModel& M) {
         M.SetProgress(0, 5, 9);
         M.SetActivity(0, TReaderActivity::Clearing);
       },
       "clearing", false},
      {"never reached", [](TReaderTableModel& M) { M.EndRun(); }, "not visited: the run stopped before this row", false},
      {"one of each", outcome(Cleared(Ended(TVisitOutcome::Done, 1, 1))), "done: 1 record added, 1 duplicate, cleared", false},
      {"kept", outcome(Ended(TVisitOutcome::Done, 0, 33)), "done: 0 records added, 33 duplicates, log kept", false},
      {"invalid slots", outcome(invalid), "done: 3300 records added, 0 duplicates, 2 invalid, log kept", false},
      {"clear skipped", outcome(skipped), "done: 5 records added, 0 duplicates, clock set, not cleared: read 5 of 10", false},
      {"unreachable", outcome(Ended(TVisitOutcome::Unreachable, 0, 0, "connection refused")), "unreachable: connection refused", true},
      {"lost mid-way", outcome(Ended(TVisitOutcome::ConnectionLost, 99, 0, "no reply to download page 3")),
       "connection lost: no reply to download page 3; 99 records added first", true},
      {"late news",
       [](TReaderTableModel& M) {
         M.SetOutcome(0, Ended(TVisitOutcome::NoResponse, 0, 0, "no reply to lock"));
         M.SetActivity(0, TReaderActivity::Unlocking);
         M.SetProgress(0, 1, 2);
       },
       "no response: no reply to lock", true},
  };
  for (const TRowCase& c : cases) {
    TReaderTableModel model;
    ASSERT_EQ(model.AddReader("10.0.0.7", "4001"), 0);
    c.Feed(model);
    const QModelIndex reader = model.index(0, TReaderTableModel::ReaderColumn);
    const QModelIndex status = model.index(0, TReaderTableModel::StatusColumn);
    EXPECT_EQ(reader.data().toString(), "10.0.0.7:4001") << c.Name;
    EXPECT_EQ(status.data().toString(), c.Status) << c.Name;
    EXPECT_EQ(status.data(Qt::ForegroundRole).value<QBrush>().color() == QColor(0xB0, 0x00, 0x20), c.MarkedFailed) << c.Name;
    EXPECT_EQ(reader.data(Qt::ForegroundRole).isValid(), c.MarkedFailed) << c.Name;
    EXPECT_EQ(status.data(Qt::DecorationRole).isValid(), model.Ended(0)) << c.Name;
  }
}

// Rows given as letters: w waiting, a at work, d done, f failed, n never visited.
TEST(ReaderTable, TheCountsTellFinishedFromFailedInPlainWords) {
  const std::pair<const char*, const char*> cases[] = {
      {"w", "0 of 1 reader finished, 1 waiting"},
      {"a", "0 of 1 reader finished, 1 at work"},
      {"d", "1 of 1 reader finished"},
      {"f", "0 of 1 reader finished, 1 failed"},
      {"dddffaaaa", "3 of 9 readers finished, 2 failed, 4 at work"},
      {"aaaaaaaaww", "0 of 10 readers finished, 8 at work, 2 waiting"},
      {"dfnnn", "1 of 5 readers finished, 1 failed, 3 not visited"},
  };
  for (const auto& [rows, expected] : cases) {
    TReaderTableModel model;
    for (const char* state = rows; *state != '\0'; ++state) {
      const int row = model.AddReader("127.0.0.1", QString::number(model.rowCount() + 1));
      if (*state != 'w' && *state != 'n') model.SetActivity(row, TReaderActivity::Locking);
      if (*state == 'd') model.SetOutcome(row, Ended(TVisitOutcome::Done, 0, 0));
      if (*state == 'f') model.SetOutcome(row, Ended(TVisitOutcome::BadRow, 0, 0));
    }
    if (QByteArray(rows).contains('n')) model.EndRun();
    EXPECT_EQ(CountsText(model.Counts()), expected) << rows;
  }
}

class ReaderTableEnd : public testing::TestWithParam<std::tuple<bool, bool, bool>> {};

// Open after the run only for a person, when something failed, and unless they asked to close.
TEST_P(ReaderTableEnd, TheWindowStaysOnlyToShowAFailureToAPerson) {
  const auto [failed, personCanRead, closedDuringRun] = GetParam();
  auto window = std::make_unique<TReaderTableWindow>();
  window->Model().AddReader("127.0.0.1", "4001");
  window->Model().SetActivity(0, TReaderActivity::Locking);
  window->ShowCentred();
  if (closedDuringRun) {
    window->close();
    ASSERT_TRUE(window->isVisible());  // only noted while the run goes on
  }
  window->Model().SetOutcome(0, Ended(failed ? TVisitOutcome::Unreachable : TVisitOutcome::Done, 0, 0));
  const QPointer<TReaderTableWindow> shown = window.get();
  EndShowing(std::move(window), personCanRead);
  const bool stays = failed && personCanRead && !closedDuringRun;
  ASSERT_EQ(!shown.isNull() && shown->isVisible(), stays);
  if (!stays) return;
  EXPECT_TRUE(shown->Buttons->isVisible());
  EXPECT_EQ(shown->Counts->text(), "0 of 1 reader finished, 1 failed");
  EXPECT_EQ(shown->Bar->PercentDone(), 100);
  shown->Buttons->button(QDialogButtonBox::Close)->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(shown.isNull());
}

INSTANTIATE_TEST_SUITE_P(EveryEnd, ReaderTableEnd, testing::Combine(testing::Bool(), testing::Bool(), testing::Bool()));

class ReaderBoard : public testing::Test {
 protected:
  void SetUp() override {
    for (int port = 4001; port <= 4003; ++port) Folder.AddReader("10.0.0.1", QString::number(port), false, true, false);
    Db.OpenDatabase(Folder.DatabasePath());
    StatusWindow.show();
  }

  TLogFolder Folder;
  TLogDatabase Db;
  QWidget StatusWindow;
};

// The visits post from their own threads; the window thread shows it, and an ended visit's
// last steps count before its outcome.
TEST_F(ReaderBoard, ShowsWhatTheVisitsPostFromTheirThreads) {
  QPointer<const TReaderTableWindow> window;
  {
    TReaderBoard board(ReadReaders(Db), StatusWindow);
    window = &board.Window();
    const TReaderTableModel& model = board.Window().Model();
    const auto statusOf = [&](int Row) { return model.index(Row, TReaderTableModel::StatusColumn).data().toString(); };
    EXPECT_FALSE(StatusWindow.isVisible());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(model.index(2, TReaderTableModel::ReaderColumn).data().toString(), "10.0.0.1:4003");
    EXPECT_EQ(board.StartNext(), 0);
    EXPECT_EQ(board.StartNext(), 1);
    EXPECT_EQ(window->Counts->text(), "0 of 3 readers finished, 2 at work, 1 waiting");
    std::unique_ptr<IDownloadProgress> progress;
    std::thread([&] {
      board.ObserverOf(0).Stepped(TPassStep::Downloading);
      board.ObserverOf(1).Stepped(TPassStep::Unlocking);
      progress = board.ObserverOf(0).OpenProgress(66);
      for (int step = 0; step < 40; ++step) progress->Step();
    }).join();
    EXPECT_EQ(statusOf(0), "connecting");  // not before the window thread takes the news
    ASSERT_TRUE(WaitUntil([&] { return statusOf(0) == "downloading 40 of 66 records"; }, 5000)) << statusOf(0).toStdString();
    EXPECT_EQ(statusOf(1), "unlocking");
    EXPECT_EQ(window->Bar->PercentDone(), 20);  // the two readers of unknown size count as 66 each
    std::thread([&] {
      for (int step = 0; step < 26; ++step) progress->Step();
    }).join();
    board.Ended(0, Ended(TVisitOutcome::Done, 66, 0));
    EXPECT_EQ(model.StepsTaken(), 66);
    board.Ended(1, Ended(TVisitOutcome::NoResponse, 0, 0, "no reply to unlock"));
    EXPECT_EQ(window->Counts->text(), "1 of 3 readers finished, 1 failed, 1 waiting");
  }
  // Without a person to read it, a failure leaves no window behind.
  EXPECT_TRUE(window.isNull());
  EXPECT_TRUE(StatusWindow.isVisible());
}

}  // namespace

// Another start's view of a watch, read from the file: a reader collecting, one whose line is
// down, one the watch keeps no line to whose last visit failed; the counts and the holder above.
TEST(HolderView, ShowsTheWatchAtWorkFromTheFile) {
  TLogFolder folder;
  for (const char* port : {"4001", "4002", "4003"}) folder.AddReader("10.0.0.1", port, false, true, false);
  folder.Execute("CREATE TABLE visits (id INTEGER PRIMARY KEY, started TEXT, ended TEXT, ipaddr TEXT, ipport TEXT, outcome TEXT, "
                 "records_reported INTEGER, added INTEGER, duplicates INTEGER, invalid INTEGER, clock_set INTEGER, cleared INTEGER, "
                 "detail TEXT)");
  folder.Execute("INSERT INTO visits (started, ended, ipaddr, ipport, outcome, added, duplicates, invalid, clock_set, cleared, detail) "
                 "VALUES ('2026-01-05 08:00:00', '2026-01-05 08:00:09', '10.0.0.1', '4001', 'done', 3, 297, 0, 0, 0, ''), "
                 "('2026-01-05 08:00:00', '2026-01-05 08:00:30', '10.0.0.1', '4003', 'no_response', 0, 0, 0, 0, 0, 'no reply'), "
                 "('2026-01-05 08:01:00', '2026-01-05 08:01:00', '10.0.0.1', '4002', 'line_down', 0, 0, 0, 0, 0, 'refused')");
  {
    const TSiteConnection watch(folder.DatabasePath(), TAccess::Write);
    BeginWatchState(watch.Db(), QCoreApplication::applicationPid());
    TLineState collecting{"10.0.0.1", "4001", TLineState::TLine::Up, Now(), "downloading", 40, 300};
    TLineState down{"10.0.0.1", "4002", TLineState::TLine::Down, Now(), {}, 0, 0};
    WriteLineStates(watch.Db(), {collecting, down}, {});
  }
  THolderView view(folder.DatabasePath());
  const THolderViewModel& rows = view.Model();
  const auto text = [&](int Row, int Column) { return rows.data(rows.index(Row, Column)).toString(); };
  const auto red = [&](int Row, int Column) { return rows.data(rows.index(Row, Column), Qt::ForegroundRole).isValid(); };
  EXPECT_TRUE(view.Holder->text().startsWith("The watch has held")) << view.Holder->text().toStdString();
  EXPECT_EQ(view.Counts->text(), "3 readers: 1 up, 1 down, 1 collecting");
  EXPECT_EQ(text(0, THolderViewModel::NowColumn), "downloading 40 of 300 records");
  EXPECT_TRUE(text(0, THolderViewModel::LastColumn).startsWith("done: 3 records added, 297 duplicates"));
  EXPECT_FALSE(red(0, THolderViewModel::LastColumn));
  EXPECT_TRUE(text(1, THolderViewModel::LineColumn).startsWith("down since"));
  EXPECT_TRUE(red(1, THolderViewModel::LineColumn));
  EXPECT_EQ(text(1, THolderViewModel::LastColumn), "never visited");  // an outage is no visit
  EXPECT_EQ(text(2, THolderViewModel::LineColumn), "not watched");
  EXPECT_TRUE(red(2, THolderViewModel::LastColumn));
  ASSERT_NE(view.Collect, nullptr);
  EXPECT_TRUE(view.Collect->isEnabled());
}
