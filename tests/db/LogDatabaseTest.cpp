#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "Errors.h"
#include "ForwardInFlight.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
#include "TestSupport.h"

namespace {

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, 0}, t));
  return t;
}

std::optional<TOpenFailure> OpenFailureOf(const QString& File) {
  TLogDatabase db;
  try {
    db.OpenDatabase(File);
  } catch (const EDatabaseOpenError& Error) {
    return Error.Kind;
  }
  return std::nullopt;
}

// Stores one record in a transaction of its own.
void Store(TLogDatabase& Db, TDateTime RecTime, int CardNo) {
  TWriteTransaction transaction(Db);
  transaction.StoreRecord(RecTime, CardNo, "r", 1);
  transaction.Commit();
}

bool Exists(TLogDatabase& Db, TDateTime RecTime, int CardNo) {
  TWriteTransaction transaction(Db);
  return transaction.RecordExists(RecTime, CardNo);
}

class LogDatabase : public testing::Test {
 protected:
  TLogFolder Folder;
};

TEST_F(LogDatabase, OpensAndClosesTwiceHarmlessly) {
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  db.CloseDatabase();
  db.CloseDatabase();
}

TEST_F(LogDatabase, EachFileItCannotUseHasItsOwnFailureAndNoneIsCreated) {
  QTemporaryDir other;
  QFile garbage(other.filePath("garbage.mdb"));
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write(QByteArray(4096, 'x'));
  garbage.close();
  EXPECT_EQ(OpenFailureOf(other.filePath("logs.mdb")), TOpenFailure::Missing);
  EXPECT_FALSE(QFile::exists(other.filePath("logs.mdb")));
  EXPECT_EQ(OpenFailureOf(other.filePath("no-such-folder/logs.mdb")), TOpenFailure::Missing);
  EXPECT_EQ(OpenFailureOf(garbage.fileName()), TOpenFailure::Unusable);
  EXPECT_EQ(OpenFailureOf(other.path()), TOpenFailure::Unusable);
  {
    TLogFolder linked;
    const QString second = linked.SecondName();
    EXPECT_EQ(OpenFailureOf(linked.DatabasePath()), TOpenFailure::Linked);
    EXPECT_EQ(OpenFailureOf(second), TOpenFailure::Linked);
    ASSERT_TRUE(QFile::remove(second));
    ASSERT_TRUE(QFile::link(linked.DatabasePath(), second));
    EXPECT_EQ(OpenFailureOf(second), std::nullopt) << "a symbolic link is one name";
  }
  for (const char* sql : {"DROP TABLE readers", "ALTER TABLE records RENAME COLUMN RECTIME TO WHEN_AT",
                          "DROP TABLE records"}) {
    TLogFolder folder;
    folder.Execute(sql);
    EXPECT_EQ(OpenFailureOf(folder.DatabasePath()), TOpenFailure::Unusable) << sql;
  }
  if (::geteuid() != 0) {  // root writes whatever the modes say
    QFile::setPermissions(Folder.DatabasePath(), QFile::ReadOwner);
    EXPECT_EQ(OpenFailureOf(Folder.DatabasePath()), TOpenFailure::Unwritable);
  }
}

TEST_F(LogDatabase, DuplicatesMatchTimeAndCardWhateverReaderAndMode) {
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  const TDateTime t = At(2024, 5, 17, 8, 30, 15);
  {
    TWriteTransaction transaction(db);
    EXPECT_FALSE(transaction.RecordExists(t, 74565));
    transaction.StoreRecord(t, 74565, "10.0.0.5", 2);
    EXPECT_TRUE(transaction.RecordExists(t, 74565));
    EXPECT_FALSE(transaction.RecordExists(t, 74566));
    EXPECT_FALSE(transaction.RecordExists(At(2024, 5, 17, 8, 30, 16), 74565));
    transaction.Commit();
  }
  db.CloseDatabase();
  EXPECT_EQ(Folder.Query("SELECT RECTIME, CARDNO, READER, MODE FROM records"),
            QStringList{"2024-05-17 08:30:15|74565|10.0.0.5|2"});

  // A row stored by another reader with another mode, in an earlier run, counts too.
  TLogDatabase again;
  again.OpenDatabase(Folder.DatabasePath());
  EXPECT_TRUE(Exists(again, t, 74565));
}

TEST_F(LogDatabase, NothingOfATransactionStaysUnlessItIsCommitted) {
  Folder.Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.CARDNO = 13 "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  Store(db, At(2024, 1, 1, 0, 0, 1), 12);
  EXPECT_THROW(Store(db, At(2024, 1, 1, 0, 0, 2), 13), EDatabaseError);
  {
    TWriteTransaction abandoned(db);
    abandoned.StoreRecord(At(2024, 1, 1, 0, 0, 3), 14, "r", 1);
  }
  Store(db, At(2024, 1, 1, 0, 0, 4), 15);
  db.CloseDatabase();
  EXPECT_EQ(Folder.Query("SELECT CARDNO FROM records ORDER BY RECTIME"), (QStringList{"12", "15"}));
}

// A file left in rollback-journal mode cannot commit while another program reads it: the
// commit must say so, and what it would have stored must not stay; and the store knows its
// readers may hold writers back (a run's forward then waits for the readers), until WAL is on.
TEST_F(LogDatabase, ACommitThatFailsRaisesAndStoresNothing) {
  QSqlDatabase reader = QSqlDatabase::addDatabase("QSQLITE", "snapshot");
  reader.setDatabaseName(Folder.DatabasePath());
  ASSERT_TRUE(reader.open());
  {
    QSqlQuery hold(reader);
    ASSERT_TRUE(hold.exec("BEGIN"));
    ASSERT_TRUE(hold.exec("SELECT COUNT(*) FROM records") && hold.next());
    TLogDatabase db(100);
    db.OpenDatabase(Folder.DatabasePath());  // WAL cannot be switched on while it reads
    EXPECT_FALSE(db.ReadersLeaveWritersFree());
    {
      TWriteTransaction transaction(db);
      transaction.StoreRecord(At(2024, 1, 1, 0, 0, 1), 12, "r", 1);
      EXPECT_THROW(transaction.Commit(), EDatabaseError);
    }
    hold.finish();
    ASSERT_TRUE(hold.exec("COMMIT"));
    EXPECT_FALSE(Exists(db, At(2024, 1, 1, 0, 0, 1), 12));
  }
  reader.close();
  reader = {};
  QSqlDatabase::removeDatabase("snapshot");
  TLogDatabase alone;
  alone.OpenDatabase(Folder.DatabasePath());
  EXPECT_TRUE(alone.ReadersLeaveWritersFree());
}

// A forward is noted as under way only once it had its turn to write (a re-stamp begun before
// it has committed), and no longer when it could not or is over.
TEST_F(LogDatabase, AForwardIsUnderWayOnlyOnceItHadItsTurnToWrite) {
  TLogDatabase db(100);
  db.OpenDatabase(Folder.DatabasePath());
  sqlite3* handle = NativeHandle(QSqlDatabase::database(db.Connection(), false));
  {
    THeldFile held(Folder.DatabasePath());
    ASSERT_TRUE(held.Hold());
    EXPECT_THROW(TForwardInFlight(handle, "central"), EDatabaseError);
    EXPECT_EQ(TForwardInFlight::Targets(), "[]");
  }
  {
    const TForwardInFlight sending(handle, "central");
    EXPECT_EQ(TForwardInFlight::Targets(), R"(["central"])");
  }
  EXPECT_EQ(TForwardInFlight::Targets(), "[]");
}

// While another program holds the file: a brief transaction gives way at once, the thread
// holding the turn waits out the busy time-out, and a thread queued behind it gives up as soon
// as the store is told to abandon its waits, not after its own wait.
TEST_F(LogDatabase, WaitsForAHeldFileGiveWayAsAsked) {
  TLogDatabase db(3000);
  db.OpenDatabase(Folder.DatabasePath());
  std::atomic<bool> abandon{false};
  db.AbandonWaitsWhen([&abandon] { return abandon.load(); });
  THeldFile held(Folder.DatabasePath());
  ASSERT_TRUE(held.Hold());
  QElapsedTimer brief;
  brief.start();
  EXPECT_THROW({ TWriteTransaction briefly(db, TLockWait::Briefly); }, EDatabaseBusy);
  EXPECT_LT(brief.elapsed(), 1000);  // a moment, not the 3 s of the busy time-out
  std::atomic<bool> holderDone{false};
  std::thread holder([&] {
    EXPECT_THROW({ TWriteTransaction waiting(db); }, EDatabaseBusy);
    holderDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it has the turn, and waits its 3 s
  bool holderDoneWhenQueuedGaveUp = true;
  std::thread queued([&] {
    EXPECT_THROW({ TWriteTransaction queuedBehind(db); }, EDatabaseBusy);
    holderDoneWhenQueuedGaveUp = holderDone;
  });
  abandon = true;
  queued.join();
  holder.join();
  EXPECT_FALSE(holderDoneWhenQueuedGaveUp);
}

TEST_F(LogDatabase, ATableMadeByHandWithoutTheIndexGetsIt) {
  Folder.Execute("DROP INDEX records_time_card");
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  Store(db, At(2024, 1, 1, 0, 0, 1), 12);
  EXPECT_TRUE(Exists(db, At(2024, 1, 1, 0, 0, 1), 12));
  db.CloseDatabase();
  EXPECT_EQ(Folder.Query("EXPLAIN QUERY PLAN SELECT 1 FROM records WHERE RECTIME = '' AND CARDNO = 1").join(' ')
                .contains("USING COVERING INDEX records_time_card"),
            true);
}

TEST_F(LogDatabase, AMissingCardColumnMakesTheDuplicateSearchRaise) {
  Folder.Execute("DROP TABLE records");
  Folder.Execute("CREATE TABLE records (RECTIME TEXT, READER TEXT, MODE INTEGER)");
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  EXPECT_THROW(Exists(db, At(2024, 1, 1, 0, 0, 1), 12), EDatabaseError);
}

// Another program's look: its own process, so that its close may find itself the file's last
// user, as the sqlite3 shell or a report would.
QStringList AnotherProgram(const QString& Database, const QString& Sql) {
  QProcess shell;
  shell.start("sqlite3", {Database, Sql});
  EXPECT_TRUE(shell.waitForFinished(10000));
  return QString::fromUtf8(shell.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// The sync before a clear must not drop SQLite's locks: another program closing the file would
// then delete the -wal, and what is committed after would live on only in a deleted file.
TEST_F(LogDatabase, AnotherProgramsLookAfterASyncCostsNoLaterRecord) {
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  Store(db, At(2024, 1, 1, 0, 0, 1), 12);
  db.MakeDurable();
  AnotherProgram(Folder.DatabasePath(), "CREATE TABLE look (a); INSERT INTO look VALUES (1);");
  Store(db, At(2024, 1, 1, 0, 0, 2), 13);
  EXPECT_EQ(AnotherProgram(Folder.DatabasePath(), "SELECT COUNT(*) FROM records; SELECT COUNT(*) FROM look; PRAGMA integrity_check;"),
            (QStringList{"2", "1", "ok"}));
}

TEST_F(LogDatabase, ACommittedRecordIsVisibleToAnotherConnectionAtOnce) {
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  Store(db, At(2024, 1, 1, 0, 0, 1), 12);
  EXPECT_EQ(Folder.Query("SELECT COUNT(*) FROM records"), QStringList{"1"});
  db.MakeDurable();
  EXPECT_EQ(Folder.Query("PRAGMA integrity_check"), QStringList{"ok"});
}

// A short live event (card, seconds from T on this computer's clock) pending its log copy, and
// a record of a reader's log (card, seconds from T on the reader's clock).
struct TSwipe {
  const char* Identity;
  const char* Reader;
  int Card;
  int Seconds;
};

// Each pending event belongs to the reader it came from, whatever its row is named by the time
// its log is walked, and pairs oldest first with the records the walk holds back, however far
// off the reader's clock, as long as it is steady; an event that a whole walk found no copy of
// never will. The rows in rowid order: each swipe keeps the row it was first stored in.
TEST_F(LogDatabase, LiveEventsPairWithTheirOwnReadersLogCopiesAtOneSteadyOffset) {
  const TDateTime t = At(2026, 3, 2, 8, 0, 0);
  const auto at = [t](int Seconds) { return t + Seconds / 86400.0; };
  const auto text = [&](int Seconds) { return RecTimeText(at(Seconds)); };
  const char* const gate = "this machine:4001";
  const struct {
    const char* Name;
    std::vector<TSwipe> Live;
    std::vector<TSwipe> Log;  // one walk, of the first one's reader
    QStringList Rows;
    int Offset;
    int Forgotten;
  } cases[] = {
      {"the row renamed to another name of the reader", {{gate, "127.0.0.1", 88, 0}}, {{gate, "localhost", 88, -7}},
       {text(-7) + "|88|127.0.0.1"}, -7, 0},
      {"another reader's swipe of the card", {{"10.0.0.9:4001", "10.0.0.9", 88, 0}}, {{gate, "127.0.0.1", 88, -2}},
       {text(0) + "|88|10.0.0.9", text(-2) + "|88|127.0.0.1"}, 0, 0},
      {"three swipes of one card over three hours", {{gate, "g", 5, 0}, {gate, "g", 5, 3600}, {gate, "g", 5, 7200}},
       {{gate, "g", 5, -7}, {gate, "g", 5, 3593}, {gate, "g", 5, 7193}}, {text(-7) + "|5|g", text(3593) + "|5|g", text(7193) + "|5|g"}, -7, 0},
      {"the reader three hours ahead", {{gate, "g", 1, 0}, {gate, "g", 2, 1}, {gate, "g", 1, 2}},
       {{gate, "g", 1, 10800}, {gate, "g", 2, 10801}, {gate, "g", 1, 10802}},
       {text(10800) + "|1|g", text(10801) + "|2|g", text(10802) + "|1|g"}, 10800, 0},
      {"a swipe while the line was down comes first", {{gate, "g", 7, 0}}, {{gate, "g", 7, -3600}, {gate, "g", 7, -5}},
       {text(-5) + "|7|g", text(-3600) + "|7|g"}, -5, 0},
      {"an event whose copy the walk never found", {{gate, "g", 9, 0}}, {{gate, "g", 3, 5}}, {text(0) + "|9|g", text(5) + "|3|g"}, 0, 1},
  };
  for (const auto& c : cases) {
    TLogFolder folder;
    TLogDatabase db;
    db.OpenDatabase(folder.DatabasePath());
    db.KeepLiveEventsPending();
    for (const TSwipe& swipe : c.Live) {
      TWriteTransaction live(db);
      live.StoreRecord(at(swipe.Seconds), swipe.Card, swipe.Reader, 0);
      live.AwaitLogCopy(at(swipe.Seconds), swipe.Card, swipe.Identity);
      live.Commit();
    }
    TWriteTransaction walk(db);
    std::vector<TWriteTransaction::THeldRecord> held;
    for (const TSwipe& record : c.Log) {
      if (walk.StoreLogRecord(at(record.Seconds), record.Card, record.Reader, record.Identity, 1) == TWriteTransaction::TLogCopy::Held) {
        held.push_back({at(record.Seconds), record.Card, 1});
      }
    }
    const TWriteTransaction::THeldStored stored = walk.StoreHeld(held, c.Log.front().Reader, c.Log.front().Identity, at(1000000));
    walk.Commit();
    QStringList rows;
    for (const QString& row : folder.Query("SELECT RECTIME, CARDNO, READER FROM records ORDER BY rowid")) rows << row;
    EXPECT_EQ(rows, c.Rows) << c.Name;
    EXPECT_EQ(stored.ClockOffsetSeconds.value_or(0), c.Offset) << c.Name;
    EXPECT_EQ(stored.Forgotten, c.Forgotten) << c.Name;
  }
}

}  // namespace
