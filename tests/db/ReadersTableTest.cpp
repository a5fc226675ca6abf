#include <gtest/gtest.h>

#include "Errors.h"
#include "LogDatabase.h"
#include "ReadersTable.h"
#include "TestSupport.h"

namespace {

const char* VerdictName(TRowVerdict Verdict) {
  switch (Verdict) {
    case TRowVerdict::Usable: return "usable";
    case TRowVerdict::Unreadable: return "unreadable";
    case TRowVerdict::PortOutOfRange: return "port out of range";
    case TRowVerdict::SameReader: return "same reader";
  }
  return "?";
}

std::vector<TReaderEntry> Judged(const TLogFolder& Folder) {
  TLogDatabase db;
  db.OpenDatabase(Folder.DatabasePath());
  return ReadReaders(db);
}

}  // namespace

// Every row of one table judged at once, as every mode sees it: a row's place among the others
// (a second name of one reader) counts, and only a usable row claims its reader.
TEST(ReadersTable, EachRowHasOneVerdictAndItsReason) {
  const struct {
    const char* Row;
    TRowVerdict Verdict;
    const char* Reason;
  } cases[] = {
      {"('127.0.0.1', '4001', 1, 1, 0)", TRowVerdict::Usable, ""},
      {"('gate.invalid', 'http', 0, 1, 0)", TRowVerdict::Usable, ""},
      {"('GATE.Invalid', 80, 1, 0, 0)", TRowVerdict::SameReader, "the same reader as row 2 (gate.invalid:http)"},
      {"('localhost', '04001', 0, 1, 0)", TRowVerdict::SameReader, "the same reader as row 1 (127.0.0.1:4001)"},
      {"('127.000.000.001', 4001, 0, 1, 0)", TRowVerdict::SameReader, "the same reader as row 1 (127.0.0.1:4001)"},
      {"('127.0.0.1', '0', 0, 1, 0)", TRowVerdict::PortOutOfRange, "port 0 is outside 1 to 65535"},
      {"('127.0.0.1', '-1', 0, 1, 0)", TRowVerdict::PortOutOfRange, "port -1 is outside 1 to 65535"},
      {"('127.0.0.1', '69537', 0, 1, 0)", TRowVerdict::PortOutOfRange, "port 69537 is outside 1 to 65535"},
      {"('127.0.0.1', '99999999999', 0, 1, 0)", TRowVerdict::PortOutOfRange, "port 99999999999 is outside 1 to 65535"},
      {"('127.0.0.1', '', 0, 1, 0)", TRowVerdict::PortOutOfRange, "the port is empty"},
      {"('127.0.0.1', 'no-such-service', 0, 1, 0)", TRowVerdict::Unreadable,
       "'no-such-service' is not a valid integer value (readers row 11, column ipport)"},
      {"('127.0.0.1', '4002', NULL, 1, 1)", TRowVerdict::Unreadable,
       "Could not convert NULL in column 'setclk' to a boolean (readers row 12, column setclk)"},
      {"('127.0.0.1', '4002', 1, 'maybe', 1)", TRowVerdict::Unreadable,
       "Could not convert 'maybe' in column 'download' to a boolean (readers row 13, column download)"},
      {"('127.0.0.1', '4002', 1, 1, '')", TRowVerdict::Unreadable,
       "Could not convert '' in column 'clrafter' to a boolean (readers row 14, column clrafter)"},
      {"(NULL, '4002', 1, 1, 1)", TRowVerdict::Unreadable, "Could not convert NULL in column 'ipaddr' to text (readers row 15, column ipaddr)"},
      {"('127.0.0.1', NULL, 1, 1, 1)", TRowVerdict::Unreadable,
       "Could not convert NULL in column 'ipport' to text (readers row 16, column ipport)"},
      {"('127.0.0.1', '4002', 0, 1, 0)", TRowVerdict::Usable, ""},  // the unreadable rows of its reader claim none
      {"('0.0.0.0', '4002', 0, 1, 0)", TRowVerdict::SameReader, "the same reader as row 17 (127.0.0.1:4002)"},
  };
  TLogFolder folder;
  for (const auto& c : cases) folder.Execute(QStringLiteral("INSERT INTO readers VALUES %1").arg(c.Row));
  const std::vector<TReaderEntry> entries = Judged(folder);
  ASSERT_EQ(entries.size(), std::size(cases));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TReaderEntry& entry = entries[i];
    EXPECT_EQ(entry.Number, i + 1);
    EXPECT_STREQ(VerdictName(entry.Verdict), VerdictName(cases[i].Verdict)) << cases[i].Row;
    EXPECT_EQ(entry.Reason, cases[i].Reason) << cases[i].Row;
    EXPECT_EQ(entry.SameAs != 0, entry.Verdict == TRowVerdict::SameReader) << cases[i].Row;
  }
  EXPECT_EQ(entries[0].Identity, "this machine:4001");
  EXPECT_EQ(entries[1].Identity, "name gate.invalid:80");
  EXPECT_EQ(entries[2].Identity, entries[1].Identity);
  EXPECT_TRUE(entries[14].Identity.isEmpty()) << "a row without an address names no reader";
  EXPECT_EQ(entries[11].Identity, "this machine:4002") << "a row whose flags cannot be read still names its reader";
}

TEST(ReadersTable, ValuesConvertNumbersAndBooleanTexts) {
  TLogFolder folder;
  folder.Execute("INSERT INTO readers VALUES ('10.0.0.5', 4001, 1, 0, 2)");
  folder.Execute("INSERT INTO readers VALUES (12, '4001', 'Yes', 'FALSE', '1')");
  folder.Execute("INSERT INTO readers VALUES ('gate', 'http', 'no', 'true', '0')");
  const std::vector<TReaderEntry> entries = Judged(folder);
  ASSERT_EQ(entries.size(), 3u);
  for (const TReaderEntry& entry : entries) ASSERT_TRUE(entry.Values) << entry.Reason.toStdString();
  TReaderRow row = *entries[0].Values;
  EXPECT_EQ(row.Address, "10.0.0.5");
  EXPECT_EQ(row.Port, "4001");
  EXPECT_TRUE(row.SetClock);
  EXPECT_FALSE(row.Download);
  EXPECT_TRUE(row.ClearAfter);
  row = *entries[1].Values;
  EXPECT_EQ(row.Address, "12");
  EXPECT_TRUE(row.SetClock);
  EXPECT_FALSE(row.Download);
  EXPECT_TRUE(row.ClearAfter);
  row = *entries[2].Values;
  EXPECT_EQ(row.Port, "http");
  EXPECT_FALSE(row.SetClock);
  EXPECT_TRUE(row.Download);
  EXPECT_FALSE(row.ClearAfter);
}

TEST(ReadersTable, AMissingColumnMakesEveryRowUnreadable) {
  TLogFolder folder;
  folder.Execute("CREATE TABLE narrow AS SELECT ipaddr, ipport FROM readers");
  folder.Execute("DROP TABLE readers");
  folder.Execute("ALTER TABLE narrow RENAME TO readers");
  folder.Execute("INSERT INTO readers VALUES ('a', '1')");
  const std::vector<TReaderEntry> entries = Judged(folder);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Verdict, TRowVerdict::Unreadable);
  EXPECT_EQ(entries[0].Reason, "Column 'setclk' is missing from table readers (readers row 1, column setclk)");
}
