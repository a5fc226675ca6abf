#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "Errors.h"
#include "LogDatabase.h"
#include "TestSupport.h"

namespace {

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, 0}, t));
  return t;
}

class LogDatabase : public testing::Test {
 protected:
  TLogFolder Folder;
};

// The working directory belongs to the whole process, and other threads may be using it.
TEST_F(LogDatabase, OpensAndLeavesTheWorkingDirectoryAlone) {
  const QString start = QDir::currentPath();
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  EXPECT_EQ(QDir::currentPath(), start);
  EXPECT_TRUE(db.ReadersAtEnd());
  db.CloseDatabase();
  db.CloseDatabase();  // closing twice is harmless
}

TEST_F(LogDatabase, FailsSilentlyAndNeverCreatesAMissingFile) {
  QTemporaryDir empty;
  TLogDatabase db;
  EXPECT_FALSE(db.OpenDatabase(empty.filePath("logs.mdb")));
  EXPECT_FALSE(QFile::exists(empty.filePath("logs.mdb")));
  db.CloseDatabase();
  EXPECT_FALSE(db.OpenDatabase(empty.path() + "/no-such-folder/logs.mdb"));
}

TEST_F(LogDatabase, FailsOnAFileThatIsNoDatabaseOrLacksATable) {
  QTemporaryDir garbage;
  QFile file(garbage.filePath("logs.mdb"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray(4096, 'x'));
  file.close();
  TLogDatabase db;
  EXPECT_FALSE(db.OpenDatabase(garbage.filePath("logs.mdb")));
  db.CloseDatabase();

  for (const char* sql : {"DROP TABLE readers", "ALTER TABLE records RENAME COLUMN RECTIME TO WHEN_AT",
                          "DROP TABLE records"}) {
    TLogFolder folder;
    folder.Execute(sql);
    TLogDatabase broken;
    EXPECT_FALSE(broken.OpenDatabase(folder.DatabasePath())) << sql;
  }
}

TEST_F(LogDatabase, ReaderRowsConvertNumbersAndBooleanTexts) {
  Folder.Execute("INSERT INTO readers VALUES ('10.0.0.5', 4001, 1, 0, 2)");
  Folder.Execute("INSERT INTO readers VALUES (12, '4001', 'Yes', 'FALSE', '1')");
  Folder.Execute("INSERT INTO readers VALUES ('gate', 'http', 'no', 'true', '0')");
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  TReaderRow row = db.ReadReaderRow();
  EXPECT_EQ(row.Address, "10.0.0.5");
  EXPECT_EQ(row.Port, "4001");
  EXPECT_TRUE(row.SetClock);
  EXPECT_FALSE(row.Download);
  EXPECT_TRUE(row.ClearAfter);
  db.NextReader();
  row = db.ReadReaderRow();
  EXPECT_EQ(row.Address, "12");
  EXPECT_TRUE(row.SetClock);
  EXPECT_FALSE(row.Download);
  EXPECT_TRUE(row.ClearAfter);
  db.NextReader();
  row = db.ReadReaderRow();
  EXPECT_EQ(row.Port, "http");
  EXPECT_FALSE(row.SetClock);
  EXPECT_TRUE(row.Download);
  EXPECT_FALSE(row.ClearAfter);
  db.NextReader();
  EXPECT_TRUE(db.ReadersAtEnd());
}

TEST_F(LogDatabase, UnconvertibleValuesNameTheColumnAndTheValue) {
  const struct {
    const char* Row;
    const char* Message;
  } cases[] = {
      {"('a', '1', NULL, 1, 1)", "Could not convert NULL in column 'setclk' to a boolean"},
      {"('a', '1', 1, 'maybe', 1)", "Could not convert 'maybe' in column 'download' to a boolean"},
      {"(NULL, '1', 1, 1, 1)", "Could not convert NULL in column 'ipaddr' to text"},
      {"('a', NULL, 1, 1, 1)", "Could not convert NULL in column 'ipport' to text"},
      {"('a', '1', 1, 1, '')", "Could not convert '' in column 'clrafter' to a boolean"},
  };
  for (const auto& c : cases) {
    TLogFolder folder;
    folder.Execute(QStringLiteral("INSERT INTO readers VALUES %1").arg(c.Row));
    TLogDatabase db;
    ASSERT_TRUE(db.OpenDatabase(folder.DatabasePath()));
    try {
      db.ReadReaderRow();
      ADD_FAILURE() << "no error for " << c.Row;
    } catch (const EConvertError& error) {
      EXPECT_STREQ(error.what(), c.Message);
    }
  }
  Folder.Execute("CREATE TABLE narrow AS SELECT ipaddr, ipport FROM readers");
  Folder.Execute("DROP TABLE readers");
  Folder.Execute("ALTER TABLE narrow RENAME TO readers");
  Folder.Execute("INSERT INTO readers VALUES ('a', '1')");
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  EXPECT_THROW(db.ReadReaderRow(), EConvertError);
}

TEST_F(LogDatabase, DuplicatesMatchTimeAndCardWhateverReaderAndMode) {
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  const TDateTime t = At(2024, 5, 17, 8, 30, 15);
  EXPECT_FALSE(db.RecordExists(t, 74565));
  db.StoreRecord(t, 74565, "10.0.0.5", 2);
  EXPECT_TRUE(db.RecordExists(t, 74565));
  EXPECT_FALSE(db.RecordExists(t, 74566));
  EXPECT_FALSE(db.RecordExists(At(2024, 5, 17, 8, 30, 16), 74565));
  db.CloseDatabase();
  EXPECT_EQ(Folder.Query("SELECT RECTIME, CARDNO, READER, MODE FROM records"),
            QStringList{"2024-05-17 08:30:15|74565|10.0.0.5|2"});

  // A row stored by another reader with another mode, in an earlier run, counts too.
  TLogDatabase again;
  ASSERT_TRUE(again.OpenDatabase(Folder.DatabasePath()));
  EXPECT_TRUE(again.RecordExists(t, 74565));
}

TEST_F(LogDatabase, AFailedPostLeavesNoRowBehind) {
  Folder.Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.CARDNO = 13 "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  db.StoreRecord(At(2024, 1, 1, 0, 0, 1), 12, "r", 1);
  EXPECT_THROW(db.StoreRecord(At(2024, 1, 1, 0, 0, 2), 13, "r", 1), EDatabaseError);
  db.StoreRecord(At(2024, 1, 1, 0, 0, 3), 14, "r", 1);
  db.CloseDatabase();
  EXPECT_EQ(Folder.Query("SELECT CARDNO FROM records ORDER BY RECTIME"), (QStringList{"12", "14"}));
}

TEST_F(LogDatabase, ATableMadeByHandWithoutTheIndexGetsIt) {
  Folder.Execute("DROP INDEX records_time_card");
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  db.StoreRecord(At(2024, 1, 1, 0, 0, 1), 12, "r", 1);
  EXPECT_TRUE(db.RecordExists(At(2024, 1, 1, 0, 0, 1), 12));
  db.CloseDatabase();
  EXPECT_EQ(Folder.Query("EXPLAIN QUERY PLAN SELECT 1 FROM records WHERE RECTIME = '' AND CARDNO = 1").join(' ')
                .contains("USING COVERING INDEX records_time_card"),
            true);
}

TEST_F(LogDatabase, AMissingCardColumnMakesTheDuplicateSearchRaise) {
  Folder.Execute("DROP TABLE records");
  Folder.Execute("CREATE TABLE records (RECTIME TEXT, READER TEXT, MODE INTEGER)");
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  EXPECT_THROW(db.RecordExists(At(2024, 1, 1, 0, 0, 1), 12), EDatabaseError);
}

TEST_F(LogDatabase, AStoredRecordIsVisibleToAnotherConnectionAtOnce) {
  TLogDatabase db;
  ASSERT_TRUE(db.OpenDatabase(Folder.DatabasePath()));
  db.StoreRecord(At(2024, 1, 1, 0, 0, 1), 12, "r", 1);
  EXPECT_EQ(Folder.Query("SELECT COUNT(*) FROM records"), QStringList{"1"});
  db.MakeDurable();
  EXPECT_EQ(Folder.Query("PRAGMA integrity_check"), QStringList{"ok"});
}

}  // namespace
