#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include "Clock.h"
#include "HealthReport.h"
#include "LogDatabase.h"
#include "RunLock.h"
#include "TestSupport.h"
#include "VisitJournal.h"

namespace {

const QDateTime At = QDateTime(QDate(2026, 3, 10), QTime(12, 0));

// A visit to 10.0.0.1:Port that started HoursAgo and took a minute.
void AddVisit(const TLogFolder& Folder, const QString& Port, const QString& Outcome, double HoursAgo, int Added = 0) {
  Folder.Execute(QStringLiteral("INSERT INTO visits (started, ended, ipaddr, ipport, outcome, added) VALUES "
                                "(datetime('%1', '-%2 minutes'), datetime('%1', '-%3 minutes'), '10.0.0.1', '%4', '%5', %6)")
                     .arg(At.toString("yyyy-MM-dd HH:mm:ss"))
                     .arg(HoursAgo * 60)
                     .arg(HoursAgo * 60 - 1)
                     .arg(Port, Outcome)
                     .arg(Added));
}

// A logs.mdb with readers and their visits, checked at noon on 10 March 2026.
class HealthCheck : public testing::Test {
 protected:
  void SetUp() override {
    TLogDatabase db;
    db.OpenDatabase(Folder.DatabasePath());
    TVisitJournal journal;
    journal.Open(db.Connection());
    ASSERT_TRUE(journal.Available()) << journal.Foreign().toStdString();
  }
  TCheckReport Check(bool Forwarding = false, int WindowHours = 24, const TCheckThresholds& Thresholds = {}) const {
    return CheckHealth(Folder.DatabasePath(), WindowHours, Forwarding, Thresholds);
  }
  TLogFolder Folder;
  TScopedClock Clock{[] { return At; }};
};

TEST_F(HealthCheck, TheFirstLineIsTheVerdictAndThenALinePerReaderTheUnwellFirst) {
  const struct {
    const char* Name;
    std::function<void(const TLogFolder&)> Visits;
    TCheckState State;
    const char* FirstLine;
    const char* SecondLine;
  } cases[] = {
      {"all done lately",
       [](const TLogFolder& t) {
         AddVisit(t, "2", "done", 30, 500);  // outside the window
         AddVisit(t, "1", "done", 2, 10);
         AddVisit(t, "2", "done", 3, 20);
       },
       TCheckState::Ok,
       "QUILLMERE OK - 2 of 2 readers ok, 0 never visited; 30 records added in 24 h | readers_ok=2;;;0 "
       "readers_not_ok=0;;;0 readers_never_visited=0;;;0 records_added=30;;;0",
       "ok     10.0.0.1:1 last visit done, ended 2026-03-10 10:01:00; 10 added in 24 h"},
      {"one failing since its last done visit",
       [](const TLogFolder& t) {
         AddVisit(t, "1", "done", 2, 10);
         AddVisit(t, "2", "done", 30, 5);
         AddVisit(t, "2", "no_response", 20);
         AddVisit(t, "2", "interrupted", 10);
         AddVisit(t, "2", "running", 1);
         AddVisit(t, "2", "unreachable", 3);
       },
       TCheckState::Warning, "QUILLMERE WARNING - 1 of 2 readers ok, 0 never visited; 10 records added in 24 h",
       "NOT OK 10.0.0.1:2 last visit 2026-03-10 09:00:00 unreachable; last done 2026-03-09 06:01:00; 3 failures since; 0 added "
       "in 24 h"},
      {"a watched line down since its last pass",
       [](const TLogFolder& t) {
         AddVisit(t, "1", "done", 2, 10);
         AddVisit(t, "2", "done", 3, 20);
         AddVisit(t, "2", "line_down", 1);
       },
       TCheckState::Warning, "QUILLMERE WARNING - 1 of 2 readers ok, 0 never visited; 30 records added in 24 h",
       "NOT OK 10.0.0.1:2 last visit 2026-03-10 11:00:00 line_down; last done 2026-03-10 09:01:00; 1 failures since; 20 "
       "added in 24 h"},
      {"none well", [](const TLogFolder& t) { AddVisit(t, "1", "done", 25, 10); }, TCheckState::Critical,
       "QUILLMERE CRITICAL - 0 of 2 readers ok, 1 never visited; 0 records added in 24 h",
       "NOT OK 10.0.0.1:1 last visit done, ended 2026-03-09 11:01:00; 0 added in 24 h"},
      // Rows no run visits are named before the readers, and a second row of one reader is no
      // second reader: its visits are its first row's.
      {"a second row of one reader",
       [](const TLogFolder& t) {
         t.AddReader("10.0.0.1", "0002", false, true, false);
         AddVisit(t, "1", "done", 2, 10);
         AddVisit(t, "2", "done", 3, 20);
       },
       TCheckState::Warning,
       "QUILLMERE WARNING - readers rows not usable: 3; 2 of 2 readers ok, 0 never visited; 30 records added in 24 h | "
       "readers_ok=2;;;0 readers_not_ok=0;;;0",
       "WARNING readers row 3 (10.0.0.1:0002): the same reader as row 2 (10.0.0.1:2)"},
      {"an unreadable row",
       [](const TLogFolder& t) {
         t.Execute("INSERT INTO readers VALUES ('10.0.0.1', '3', 'often', 1, 0)");
         AddVisit(t, "1", "done", 2, 10);
         AddVisit(t, "2", "done", 3, 20);
       },
       TCheckState::Warning, "QUILLMERE WARNING - readers rows not usable: 3; 2 of 2 readers ok",
       "WARNING readers row 3 (10.0.0.1:3): Could not convert 'often' in column 'setclk' to a boolean (readers row 3, column "
       "setclk)"},
  };
  for (const auto& c : cases) {
    Folder.Execute("DELETE FROM visits");
    Folder.Execute("DELETE FROM readers");
    Folder.AddReader("10.0.0.1", "1", false, true, false);
    Folder.AddReader("10.0.0.1", "2", false, true, false);
    c.Visits(Folder);
    const TCheckReport report = Check();
    const QStringList lines = report.Text.split('\n');
    EXPECT_EQ(report.State, c.State) << c.Name;
    EXPECT_TRUE(lines[0].startsWith(c.FirstLine)) << c.Name << ": " << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(c.SecondLine)) << c.Name << ": " << lines[1].toStdString();
    // A line a row, and the final line break.
    EXPECT_EQ(lines.size(), Folder.Query("SELECT COUNT(*) FROM readers")[0].toInt() + 2) << c.Name;
  }
}

// A monitor's thresholds judge each reader by the hours since its last done visit alone, HOURS
// still being the window of what was added; the first line names who is over which.
TEST_F(HealthCheck, ThresholdsJudgeTheHoursSinceEachReadersLastDoneVisit) {
  const struct {
    TCheckThresholds Thresholds;
    bool WithNeverVisited;
    TCheckState State;
    const char* FirstLine;
  } cases[] = {
      {{24, 48}, true, TCheckState::Critical,
       "QUILLMERE CRITICAL - no done visit in 48 h (critical): 10.0.0.1:3, 10.0.0.1:4; no done visit in 24 h (warning): "
       "10.0.0.1:2; 1 of 4 readers ok, 1 never visited; 7 records added in 24 h | readers_ok=1;;;0 readers_not_ok=3;;;0"},
      {{36, 0}, false, TCheckState::Warning, "QUILLMERE WARNING - no done visit in 36 h (warning): 10.0.0.1:3; 2 of 3 readers ok,"},
      {{0, 36}, true, TCheckState::Critical,
       "QUILLMERE CRITICAL - no done visit in 36 h (critical): 10.0.0.1:3, 10.0.0.1:4; 2 of 4 readers ok,"},
      {{61, 72}, false, TCheckState::Ok, "QUILLMERE OK - 3 of 3 readers ok, 0 never visited; 7 records added in 24 h |"},
  };
  for (const auto& c : cases) {
    Folder.Execute("DELETE FROM visits");
    Folder.Execute("DELETE FROM readers");
    for (const char* port : {"1", "2", "3"}) Folder.AddReader("10.0.0.1", port, false, true, false);
    if (c.WithNeverVisited) Folder.AddReader("10.0.0.1", "4", false, true, false);
    AddVisit(Folder, "1", "done", 2, 7);
    AddVisit(Folder, "2", "done", 30, 5);
    AddVisit(Folder, "2", "unreachable", 1);
    AddVisit(Folder, "3", "done", 60, 9);
    const TCheckReport report = Check(false, 24, c.Thresholds);
    EXPECT_EQ(report.State, c.State) << c.FirstLine;
    EXPECT_TRUE(report.Text.startsWith(c.FirstLine)) << report.Text.toStdString();
  }
  // Within a threshold, a reader whose last visits failed is ok: its line says ok.
  EXPECT_TRUE(Check(false, 24, {36, 0}).Text.contains("\nok     10.0.0.1:2 last visit 2026-03-10 11:00:00 unreachable; "
                                                      "last done 2026-03-09 06:01:00; 1 failures since; 0 added in 24 h\n"));
}

// A visit under way (a first download of a full log takes minutes) is no failure; one that a
// killed run left running is.
TEST_F(HealthCheck, AVisitUnderWayIsNoFailureButOneAKilledRunLeftIs) {
  Folder.AddReader("10.0.0.1", "1", false, true, false);
  Folder.AddReader("10.0.0.1", "2", false, true, false);
  AddVisit(Folder, "1", "running", 0.1);
  AddVisit(Folder, "2", "done", 2, 10);
  AddVisit(Folder, "2", "running", 0.1);
  {
    const TRunLock run(Folder.DatabasePath());
    ASSERT_TRUE(run.Held());
    const TCheckReport report = Check();
    EXPECT_EQ(report.State, TCheckState::Ok);
    EXPECT_EQ(report.Text.section('\n', 0, 0), "QUILLMERE OK - 1 of 2 readers ok, 1 with a visit under way, 0 never visited; 10 "
                                               "records added in 24 h | readers_ok=1;;;0 readers_not_ok=0;;;0 "
                                               "readers_never_visited=0;;;0 records_added=10;;;0");
    EXPECT_TRUE(report.Text.contains("\nbusy   10.0.0.1:1 last visit 2026-03-10 11:54:00 running (under way); last done never; "
                                     "0 failures since; 0 added in 24 h\nok     10.0.0.1:2 last visit 2026-03-10 11:54:00 "
                                     "running (under way); last done 2026-03-10 10:01:00;"))
        << report.Text.toStdString();
  }
  const TCheckReport report = Check();
  EXPECT_EQ(report.State, TCheckState::Critical) << report.Text.toStdString();
  EXPECT_TRUE(report.Text.contains("\nNOT OK 10.0.0.1:1 last visit 2026-03-10 11:54:00 running; last done never;"))
      << report.Text.toStdString();
}

// Through a symbolic link, the check reads what a run holding the file has committed to its log.
TEST_F(HealthCheck, ALinkToTheFileReadsWhatItsLogHolds) {
  TLogDatabase running;
  running.OpenDatabase(Folder.DatabasePath());  // keeps the -wal, as a run or a watch does
  Folder.AddReader("10.0.0.1", "1", false, true, false);
  AddVisit(Folder, "1", "done", 1, 7);
  const QString link = Folder.Path() + "link.mdb";
  ASSERT_TRUE(QFile::link(Folder.DatabasePath(), link));
  const TCheckReport report = CheckHealth(link, 24, false);
  EXPECT_EQ(report.State, TCheckState::Ok) << report.Text.toStdString();
}

// Zero readers and a file no run has used yet are states, named as such.
TEST_F(HealthCheck, NoReadersAndNoRunYetAreWarningsInTheirOwnWords) {
  EXPECT_EQ(Check().Text, QStringLiteral("QUILLMERE WARNING - no readers listed in %1 | readers_ok=0;;;0 readers_not_ok=0;;;0 "
                                         "readers_never_visited=0;;;0 records_added=0;;;0\n")
                              .arg(Folder.DatabasePath()));
  TLogFolder withoutJournal;
  for (const TLogFolder* folder : {&withoutJournal, &Folder}) {
    folder->AddReader("10.0.0.1", "1", false, true, false);
    const TCheckReport report = CheckHealth(folder->DatabasePath(), 24, false);
    EXPECT_EQ(report.State, TCheckState::Warning);
    EXPECT_TRUE(report.Text.startsWith("QUILLMERE WARNING - no run yet: 1 readers never visited |")) << report.Text.toStdString();
    EXPECT_TRUE(report.Text.endsWith("\nNOT OK 10.0.0.1:1 never visited\n")) << report.Text.toStdString();
  }
}

// Whatever the file holds cannot start a line of its own or perfdata: a monitor would read a
// forged "ok" line or a forged value.
TEST_F(HealthCheck, TextFromTheFileStaysOnItsReadersLine) {
  Folder.Execute("INSERT INTO readers VALUES ('10.0.0.1' || char(10) || 'ok     10.9.9.9:1 last visit', '1|x=9', 0, 1, 0)");
  // Placeholders in the text never take the line's numbers.
  Folder.Execute("INSERT INTO readers VALUES ('gate%1', '5', 0, 1, 0)");
  Folder.Execute("INSERT INTO visits (started, ended, ipaddr, ipport, outcome, added) "
                 "VALUES ('2026-03-10 11:00:00', '2026-03-10 11:01:00', 'gate%1', '5', 'done', 3)");
  const TCheckReport report = Check();
  const QStringList lines = report.Text.trimmed().split('\n');
  ASSERT_EQ(lines.size(), 3) << report.Text.toStdString();
  EXPECT_EQ(lines[1].toStdString(),
            "WARNING readers row 1 (10.0.0.1 ok 10.9.9.9:1 last visit:1 x=9): '1 x=9' is not a valid integer value (readers row 1, "
            "column ipport)");
  EXPECT_EQ(lines[2].toStdString(), "ok     gate%1:5 last visit done, ended 2026-03-10 11:01:00; 3 added in 24 h");
  EXPECT_EQ(report.Text.count('|'), 1);
}

// Any read error is "cannot read", never a partial list: a damaged page, a file that is no
// database, a journal of another shape.
TEST_F(HealthCheck, AFileThatCannotBeReadWhollyIsUnknown) {
  const auto zeroLastPage = [](const TLogFolder& Damaged) {
    Damaged.Execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
        "INSERT INTO readers SELECT printf('reader-%050d', i), '4001', 0, 1, 0 FROM n");
    const int pages = Damaged.Query("PRAGMA page_count").front().toInt();
    const int pageSize = Damaged.Query("PRAGMA page_size").front().toInt();
    QFile file(Damaged.DatabasePath());
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(qint64{pages - 1} * pageSize);
    file.write(QByteArray(pageSize, '\0'));
  };
  const struct {
    const char* Name;
    std::function<void(const TLogFolder&)> Damage;
    const char* Reason;
  } cases[] = {
      {"missing", [](const TLogFolder& f) { QFile::remove(f.DatabasePath()); }, "no such file"},
      {"a second name", [](const TLogFolder& f) { f.SecondName(); }, "2 hard links"},
      {"not SQLite",
       [](const TLogFolder& f) {
         QFile file(f.DatabasePath());
         ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         file.write(QByteArray(8192, 'x'));
       },
       "not an SQLite database (a file of another kind)"},
      {"no readers", [](const TLogFolder& f) { f.Execute("DROP TABLE readers"); }, "no such table: readers"},
      {"a foreign journal", [](const TLogFolder& f) { f.Execute("CREATE TABLE visits (who TEXT, at TEXT)"); }, "no such column"},
      {"a readers page zeroed", zeroLastPage, "malformed"},
  };
  for (const auto& c : cases) {
    TLogFolder folder;
    c.Damage(folder);
    const TCheckReport report = CheckHealth(folder.DatabasePath(), 24, false);
    EXPECT_EQ(report.State, TCheckState::Unknown) << c.Name;
    EXPECT_TRUE(report.Text.startsWith(QStringLiteral("QUILLMERE UNKNOWN - cannot read %1: ").arg(folder.DatabasePath())))
        << c.Name << ": " << report.Text.toStdString();
    EXPECT_TRUE(report.Text.contains(c.Reason)) << c.Name << ": " << report.Text.toStdString();
    EXPECT_EQ(report.Text.count('\n'), 1) << c.Name;
  }
}

// With forwarding configured, the server tried last: its error, or how long ago it last took
// everything. Columns the forwarder may add are no concern of the check.
TEST_F(HealthCheck, WithForwardingTheLastErrorAndTheAgeOfTheLastSuccessCount) {
  Folder.AddReader("10.0.0.1", "1", false, true, false);
  AddVisit(Folder, "1", "done", 1, 5);
  EXPECT_EQ(Check(true).State, TCheckState::Warning);
  EXPECT_TRUE(Check(true).Text.contains("; nothing forwarded yet |")) << Check(true).Text.toStdString();
  Folder.Execute("CREATE TABLE forwarding (target TEXT PRIMARY KEY, last_attempt TEXT, last_error TEXT, added_later INTEGER)");
  const struct {
    const char* Target;
    const char* Attempt;
    const char* Error;
    TCheckState State;
    const char* Says;
  } cases[] = {
      {"hq:5432/old", "2026-03-01 12:00:00", "gone", TCheckState::Ok, "; forwarded to hq:5432/att 10 min ago | "},
      {"hq:5432/att", "2026-03-10 11:50:00", nullptr, TCheckState::Ok, "forward_age=600s;;;0"},
      {"hq:5432/att", "2026-03-10 11:50:00", "FATAL: password authentication failed", TCheckState::Warning,
       "; forwarding to hq:5432/att failed at 2026-03-10 11:50:00: FATAL: password authentication failed |"},
      {"hq:5432/att", "2026-03-08 11:50:00", nullptr, TCheckState::Warning,
       "; forwarding to hq:5432/att last succeeded at 2026-03-08 11:50:00 |"},
  };
  for (const auto& c : cases) {
    Folder.Execute(QStringLiteral("INSERT OR REPLACE INTO forwarding (target, last_attempt, last_error) VALUES ('%1', '%2', %3)")
                       .arg(c.Target, c.Attempt, c.Error ? QStringLiteral("'%1'").arg(c.Error) : QStringLiteral("NULL")));
    if (QString(c.Target).endsWith("old")) {
      Folder.Execute("INSERT INTO forwarding (target, last_attempt) VALUES ('hq:5432/att', '2026-03-10 11:50:00')");
    }
    const TCheckReport report = Check(true);
    EXPECT_EQ(report.State, c.State) << c.Says;
    EXPECT_TRUE(report.Text.contains(c.Says)) << report.Text.toStdString();
    EXPECT_EQ(Check(false).State, TCheckState::Ok) << c.Says;
  }
  // Rows set aside within the window wait for a person, however well the forwards since went.
  Folder.Execute("UPDATE forwarding SET last_attempt = '2026-03-10 11:59:00', last_error = NULL");
  Folder.Execute("CREATE TABLE forwarding_rejected (target TEXT, source TEXT, local_id INTEGER, reason TEXT, noted TEXT)");
  Folder.Execute("INSERT INTO forwarding_rejected VALUES ('hq:5432/att', 'records', 7, 'no partition', '2026-03-09 06:00:00'), "
                 "('hq:5432/att', 'records', 8, 'no partition', '2026-03-10 09:30:00')");
  const TCheckReport report = Check(true);
  EXPECT_EQ(report.State, TCheckState::Warning);
  EXPECT_TRUE(report.Text.contains("; 1 rows refused by the server and set aside in 24 h (table forwarding_rejected); "))
      << report.Text.toStdString();
  EXPECT_EQ(Check(true, 2).State, TCheckState::Ok);
}

}  // namespace
