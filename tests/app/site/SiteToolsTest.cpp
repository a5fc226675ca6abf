#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <thread>

#include "Backup.h"
#include "Clock.h"
#include "ExitStatus.h"
#include "FileLocks.h"
#include "LogDatabase.h"
#include "ReadersTable.h"
#include "ReaderEdit.h"
#include "ReaderList.h"
#include "ReaderProbe.h"
#include "ReaderSim.h"
#include "RecordExport.h"
#include "Restore.h"
#include "RunLock.h"
#include "SiteConnection.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;

TReaderAddress Reader(const QString& Text) {
  QString error;
  const std::optional<TReaderAddress> reader = ParseReaderAddress(Text, error);
  EXPECT_TRUE(reader.has_value()) << Text.toStdString() << ": " << error.toStdString();
  return reader.value_or(TReaderAddress{});
}

QByteArray FileBytes(const QString& Path) {
  QFile file(Path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t ModeOf(const QString& Path) {
  struct stat info {};
  EXPECT_EQ(::stat(QFile::encodeName(Path).constData(), &info), 0);
  return info.st_mode & 07777;
}

// What --export writes for the whole table of Folder.
QByteArray Exported(const TLogFolder& Folder, const TExportRequest& Request) {
  QTemporaryFile out;
  EXPECT_TRUE(out.open());
  std::FILE* file = std::fopen(QFile::encodeName(out.fileName()).constData(), "w");
  EXPECT_EQ(ExportRecords(Folder.DatabasePath(), Request, file), ExitCode(TExitStatus::Ok));
  std::fclose(file);
  return FileBytes(out.fileName());
}

// The same reader named three ways is one reader; a refusal writes nothing; what is written
// reads back as the run reads it, with the column types it expects.
TEST(SiteReaders, AddsEachReaderOnceAndKeepsTheTypesTheRunReads) {
  const TLogFolder folder;
  ASSERT_EQ(AddReader(folder.DatabasePath(), Reader("127.0.0.1:4001"), {true, true, false}), ExitCode(TExitStatus::Ok));
  const QByteArray written = FileBytes(folder.DatabasePath());
  for (const char* same : {"localhost:4001", "0.0.0.0:4001", "127.0.0.2:04001"}) {
    EXPECT_EQ(AddReader(folder.DatabasePath(), Reader(same), {}), ExitCode(TExitStatus::Usage)) << same;
  }
  EXPECT_EQ(FileBytes(folder.DatabasePath()), written);
  {
    TCapturedErrors captured;
    ASSERT_EQ(AddReader(folder.DatabasePath(), Reader("gate-north.invalid:4002"), {false, false, true}), ExitCode(TExitStatus::Ok));
    EXPECT_TRUE(captured.Text().contains("<4>quillmere: gate-north.invalid:4002 has clear after without download"));
  }
  EXPECT_EQ(AddReader(folder.DatabasePath(), Reader("GATE-NORTH.invalid:4002"), {}), ExitCode(TExitStatus::Usage));
  ASSERT_EQ(AddReader(folder.DatabasePath(), Reader("gate-south.invalid:http"), {}), ExitCode(TExitStatus::Ok));
  EXPECT_EQ(AddReader(folder.DatabasePath(), Reader("gate-south.invalid:80"), {}), ExitCode(TExitStatus::Usage));
  EXPECT_EQ(folder.Query("SELECT ipaddr, typeof(ipaddr), ipport, typeof(ipport), setclk, typeof(setclk), download, clrafter "
                         "FROM readers"),
            QStringList({"127.0.0.1|text|4001|text|1|integer|1|0", "gate-north.invalid|text|4002|text|0|integer|0|1",
                         "gate-south.invalid|text|http|text|0|integer|1|0"}));
  TLogDatabase run;
  run.OpenDatabase(folder.DatabasePath());
  const TReaderRow first = *ReadReaders(run).front().Values;
  EXPECT_EQ(first.Address, "127.0.0.1");
  EXPECT_EQ(first.Port, "4001");
  EXPECT_TRUE(first.SetClock && first.Download && !first.ClearAfter);
}

// A removed reader's records and visits stay; a reader that no row names is refused.
TEST(SiteReaders, RemovesTheReadersRowsOnlyAndListsEveryRowEvenABadOne) {
  const TLogFolder folder;
  folder.AddReader("127.0.0.1", "4001", true, true, false);
  folder.Execute("INSERT INTO readers VALUES ('10.0.0.9', 4002, NULL, 1, 0)");
  folder.Execute("INSERT INTO readers VALUES ('0.0.0.0', '4001', 0, 1, 1)");
  folder.Execute("INSERT INTO readers VALUES ('10.0.0.9', '70000', 0, 1, 0), ('10.0.0.9', 'no-such-service', 0, 1, 0)");
  folder.Execute("INSERT INTO records VALUES ('2026-01-02 03:04:05', 7, '127.0.0.1', 1)");
  folder.Execute("CREATE TABLE visits (id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT, ipaddr TEXT, ipport TEXT, "
                 "outcome TEXT NOT NULL, records_reported INTEGER, added INTEGER NOT NULL DEFAULT 0, duplicates INTEGER "
                 "NOT NULL DEFAULT 0, invalid INTEGER NOT NULL DEFAULT 0, clock_set INTEGER NOT NULL DEFAULT 0, cleared "
                 "INTEGER NOT NULL DEFAULT 0, detail TEXT)");
  folder.Execute("INSERT INTO visits (started, ipaddr, ipport, outcome, added) VALUES "
                 "('2026-01-02 04:00:00', '127.0.0.1', '4001', 'done', 12)");
  {
    const TSiteConnection connection(folder.DatabasePath(), TAccess::Read);
    EXPECT_EQ(ReaderLines(connection),
              QStringList({"127.0.0.1:4001 | set clock, download, log kept | last visit 2026-01-02 04:00:00 done, 12 added",
                           "10.0.0.9:4002 | row 2 cannot be read: Could not convert NULL in column 'setclk' to a boolean",
                           "0.0.0.0:4001 | clock left alone, download, clear after | never visited | the same reader as row 1 "
                           "(127.0.0.1:4001)",
                           "10.0.0.9:70000 | clock left alone, download, log kept | never visited | port 70000 is outside 1 to 65535",
                           "10.0.0.9:no-such-service | row 5 cannot be read: 'no-such-service' is not a valid integer value"}));
  }
  EXPECT_EQ(RemoveReader(folder.DatabasePath(), Reader("10.0.0.8:4001")), ExitCode(TExitStatus::Usage));
  ASSERT_EQ(RemoveReader(folder.DatabasePath(), Reader("localhost:4001")), ExitCode(TExitStatus::Ok));
  EXPECT_EQ(folder.Query("SELECT ipaddr FROM readers"), QStringList({"10.0.0.9", "10.0.0.9", "10.0.0.9"}));
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM records"), QStringList({"1"}));
  EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM visits"), QStringList({"1"}));
}

// What the program writes on standard output while it lives.
class TCapturedOutput {
 public:
  TCapturedOutput() : Saved(::dup(STDOUT_FILENO)) {
    EXPECT_TRUE(File.open());
    std::fflush(stdout);
    ::dup2(File.handle(), STDOUT_FILENO);
  }
  ~TCapturedOutput() { Text(); }
  QByteArray Text() {
    if (Saved >= 0) {
      std::fflush(stdout);
      ::dup2(Saved, STDOUT_FILENO);
      ::close(Saved);
      Saved = -1;
    }
    return FileBytes(File.fileName());
  }

 private:
  QTemporaryFile File;
  int Saved;
};

// Only the flags asked change, in every row of the reader; a removed row is printed with the
// start that writes it again, which does.
TEST(SiteReaders, SetsOnlyTheFlagsAskedAndPrintsARemovedRowToPutBack) {
  const TLogFolder folder;
  folder.AddReader("127.0.0.1", "4001", true, true, false);
  folder.AddReader("10.0.0.9", "4002", false, true, true);
  const QByteArray before = FileBytes(folder.DatabasePath());
  EXPECT_EQ(SetReader(folder.DatabasePath(), Reader("10.0.0.8:4001"), {true, {}, {}}), ExitCode(TExitStatus::Usage));
  EXPECT_EQ(FileBytes(folder.DatabasePath()), before);
  {
    TCapturedOutput output;
    ASSERT_EQ(SetReader(folder.DatabasePath(), Reader("localhost:4001"), {false, {}, true}), ExitCode(TExitStatus::Ok));
    EXPECT_EQ(output.Text(), "quillmere: set row 1 (127.0.0.1:4001: clock left alone, download, clear after)\n");
  }
  EXPECT_EQ(folder.Query("SELECT setclk, download, clrafter FROM readers"), QStringList({"0|1|1", "0|1|1"}));
  QByteArray removed;
  {
    TCapturedOutput output;
    ASSERT_EQ(RemoveReader(folder.DatabasePath(), Reader("10.0.0.9:4002")), ExitCode(TExitStatus::Ok));
    removed = output.Text();
  }
  EXPECT_EQ(removed, "quillmere: removed row 2 (10.0.0.9:4002: clock left alone, download, clear after); its records and "
                     "visits stay; to put it back: quillmere --add-reader 10.0.0.9:4002 --clear-after\n");
  ASSERT_EQ(AddReader(folder.DatabasePath(), Reader("10.0.0.9:4002"), {false, true, true}), ExitCode(TExitStatus::Ok));
  EXPECT_EQ(folder.Query("SELECT ipaddr, setclk, download, clrafter FROM readers"), QStringList({"127.0.0.1|0|1|1", "10.0.0.9|0|1|1"}));
}

// Commas, quotes and line breaks in READER survive; the export is the table, in time order;
// both bounds are inclusive, a day reaching to its last second.
TEST(SiteExport, WritesTheTableAsCsvAndJsonLines) {
  const TLogFolder folder;
  folder.Execute("INSERT INTO records VALUES ('2026-01-02 00:00:00', 2, 'gate \"north\", door 2', 0), "
                 "('2026-01-01 23:59:59', 1, 'line\nbreak', 1), ('2026-01-03 00:00:00', 3, NULL, 2), "
                 "('2026-01-02 23:59:59', 16777215, '10.0.0.1', 1)");
  EXPECT_EQ(Exported(folder, {}),
            "RECTIME,CARDNO,READER,MODE\r\n"
            "2026-01-01 23:59:59,1,\"line\nbreak\",1\r\n"
            "2026-01-02 00:00:00,2,\"gate \"\"north\"\", door 2\",0\r\n"
            "2026-01-02 23:59:59,16777215,10.0.0.1,1\r\n"
            "2026-01-03 00:00:00,3,,2\r\n");
  const QList<QByteArray> lines =
      Exported(folder, {*ExportBound("2026-01-02", false), *ExportBound("2026-01-02", true), TExportFormat::JsonLines}).split('\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines.at(2), "");
  const QJsonObject first = QJsonDocument::fromJson(lines.at(0)).object();
  EXPECT_EQ(first.value("RECTIME").toString(), "2026-01-02 00:00:00");
  EXPECT_EQ(first.value("CARDNO").toInt(), 2);
  EXPECT_EQ(first.value("READER").toString(), "gate \"north\", door 2");
  EXPECT_EQ(first.value("MODE").toInt(), 0);
  EXPECT_EQ(QJsonDocument::fromJson(lines.at(1)).object().value("CARDNO").toInt(), 16777215);
  EXPECT_EQ(Exported(folder, {*ExportBound("2026-01-02 23:59", false), *ExportBound("2026-01-03 00:00", true),
                              TExportFormat::JsonLines}),
            "{\"RECTIME\":\"2026-01-02 23:59:59\",\"CARDNO\":16777215,\"READER\":\"10.0.0.1\",\"MODE\":1}\n"
            "{\"RECTIME\":\"2026-01-03 00:00:00\",\"CARDNO\":3,\"READER\":null,\"MODE\":2}\n");
  folder.Execute("INSERT INTO records VALUES ('2026-01-03 00:00:59 ', 5, 'typed', 1)");
  EXPECT_TRUE(Exported(folder, {*ExportBound("2026-01-03", false), *ExportBound("2026-01-03 00:00", true)}).contains(",5,typed,"))
      << "a time with a trailing space is left out";
}

// A reader named another way is the same reader; cards and days relative to today combine.
TEST(SiteExport, SelectsAReaderByWhatItReachesCardsAndDaysBeforeToday) {
  const TScopedClock clock([] { return QDateTime(QDate(2026, 3, 10), QTime(12, 0)); });
  const TLogFolder folder;
  folder.Execute("INSERT INTO records VALUES ('2026-03-02 23:59:59', 1, '127.0.0.1', 1), ('2026-03-03 00:00:00', 2, 'localhost', 1), "
                 "('2026-03-09 23:59:59', 3, '127.0.0.1', 1), ('2026-03-10 00:00:00', 4, '127.0.0.1', 1), "
                 "('2026-03-05 08:00:00', 5, '10.0.0.1', 1), ('2026-03-05 09:00:00', 6, NULL, 1)");
  TExportRequest lastWeek{*ExportBound("-7d", false), *ExportBound("yesterday", true)};
  lastWeek.Reader = TReaderAddress{"127.0.0.1", ""};
  EXPECT_EQ(Exported(folder, lastWeek), "RECTIME,CARDNO,READER,MODE\r\n2026-03-03 00:00:00,2,localhost,1\r\n2026-03-09 23:59:59,3,127.0.0.1,1\r\n");
  TExportRequest cards{*ExportBound("-30d", false), *ExportBound("today 00:00", true)};
  cards.Cards = {4, 5, 6};
  EXPECT_EQ(Exported(folder, cards),
            "RECTIME,CARDNO,READER,MODE\r\n2026-03-05 08:00:00,5,10.0.0.1,1\r\n2026-03-05 09:00:00,6,,1\r\n2026-03-10 00:00:00,4,127.0.0.1,1\r\n");
  TExportRequest nobody;
  nobody.Reader = TReaderAddress{"10.9.9.9", "4001"};
  EXPECT_EQ(Exported(folder, nobody), "RECTIME,CARDNO,READER,MODE\r\n");
}

// A writer's open transaction neither blocks the export nor shows in it.
TEST(SiteExport, ReadsPastAWriterThatHasNotCommitted) {
  const TLogFolder folder;
  folder.Query("PRAGMA journal_mode=WAL");
  folder.Execute("INSERT INTO records VALUES ('2026-01-01 08:00:00', 1, 'a', 1)");
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "export-writer");
    db.setDatabaseName(folder.DatabasePath());
    ASSERT_TRUE(db.open());
    QSqlQuery writer(db);
    ASSERT_TRUE(writer.exec("BEGIN IMMEDIATE"));
    ASSERT_TRUE(writer.exec("INSERT INTO records VALUES ('2026-01-01 09:00:00', 2, 'b', 1)"));
    EXPECT_EQ(Exported(folder, {}), "RECTIME,CARDNO,READER,MODE\r\n2026-01-01 08:00:00,1,a,1\r\n");
    EXPECT_TRUE(writer.exec("COMMIT"));
  }
  QSqlDatabase::removeDatabase("export-writer");
  EXPECT_TRUE(Exported(folder, {}).endsWith("2026-01-01 09:00:00,2,b,1\r\n"));
}

// The count is asked and nothing else: no lock, no clock (not even when the reader asks for
// it), no options, no clear; a reader that is not there or does not answer is no answer.
TEST(SiteProbe, AsksTheCountAndChangesNothingOnTheReader) {
  readersim::SimFaults faults;
  faults.StatusEveryMs = 20;
  faults.StatusCode = 'C';
  ReaderSim sim(readersim::SampleLog(70, 3), faults);
  TLinkTimings fast;
  fast.DrainQuietMs = 30;
  fast.ReplyWaitMs = 400;
  const TProbe probe = ProbeReader(Reader(QStringLiteral("127.0.0.1:%1").arg(sim.Port())), fast);
  ASSERT_TRUE(probe.Capacity.has_value()) << probe.Failure.toStdString();
  EXPECT_EQ(probe.Capacity->RecordCount, 70);
  EXPECT_EQ(sim.Commands(), std::vector<std::string>({"000300"}));
  EXPECT_FALSE(sim.Locked());
  EXPECT_EQ(sim.LogSize(), 70u);

  EXPECT_FALSE(ProbeReader(Reader(QStringLiteral("127.0.0.1:%1").arg(ClosedLoopbackPort())), fast).Capacity.has_value());
  readersim::SimFaults silent;
  silent.Silent = true;
  ReaderSim mute({}, silent);
  const TProbe unanswered = ProbeReader(Reader(QStringLiteral("127.0.0.1:%1").arg(mute.Port())), fast);
  EXPECT_FALSE(unanswered.Capacity.has_value());
  EXPECT_EQ(unanswered.Failure, "no reply to get capacity after 3 tries");
}

// The copy passes integrity_check and holds one committed state while a writer goes on; it is
// its owner's and the data folder's group's alone under any umask; an existing file, or the
// database itself, is left alone.
TEST(SiteBackup, CopiesWhileAWriterWritesForTheGroupOnly) {
  const TLogFolder folder;
  folder.Query("PRAGMA journal_mode=WAL");
  const bool root = ::geteuid() == 0;
  constexpr gid_t DataGroup = 61003;
  if (root) {
    ASSERT_EQ(::chown(QFile::encodeName(folder.Path()).constData(), static_cast<uid_t>(-1), DataGroup), 0);
  }
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "backup-writer");
    db.setDatabaseName(folder.DatabasePath());
    db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
    db.open();
    QSqlQuery query(db);
    for (int i = 0; !stop; ++i) {
      query.exec("BEGIN");
      query.exec(QStringLiteral("INSERT INTO records VALUES (datetime('2026-01-01', '+%1 seconds'), %1, 'w', 1)").arg(i));
      query.exec(QStringLiteral("INSERT INTO records VALUES (datetime('2026-01-01', '+%1 seconds'), %1, 'w', 2)").arg(i));
      query.exec("COMMIT");
    }
    query = QSqlQuery();
    db.close();
  });
  WaitUntil([&] { return folder.Query("SELECT COUNT(*) FROM records").value(0).toInt() > 200; }, 5000);
  QTemporaryDir elsewhere;
  const QString copy = elsewhere.filePath("logs-copy.mdb");
  const mode_t umask = ::umask(0);
  const int code = BackupTo(folder.DatabasePath(), copy, false);
  ::umask(umask);
  stop = true;
  writer.join();
  QSqlDatabase::removeDatabase("backup-writer");
  ASSERT_EQ(code, ExitCode(TExitStatus::Ok));
  EXPECT_EQ(ModeOf(copy), 0640u);
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(copy).constData(), &info), 0);
  struct stat data {};
  ASSERT_EQ(::stat(QFile::encodeName(folder.Path()).constData(), &data), 0);
  EXPECT_EQ(info.st_gid, data.st_gid);
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "backup-check");
    db.setDatabaseName(copy);
    ASSERT_TRUE(db.open());
    QSqlQuery check(db);
    ASSERT_TRUE(check.exec("PRAGMA integrity_check") && check.next());
    EXPECT_EQ(check.value(0).toString(), "ok");
    ASSERT_TRUE(check.exec("SELECT COUNT(*), COUNT(*) % 2 FROM records") && check.next());
    EXPECT_GT(check.value(0).toInt(), 200);
    EXPECT_EQ(check.value(1).toInt(), 0) << "a transaction half copied";
    // A copy in write-ahead-log mode could not be read from a folder the reader may not write.
    ASSERT_TRUE(check.exec("PRAGMA journal_mode") && check.next());
    EXPECT_EQ(check.value(0).toString(), "delete");
  }
  QSqlDatabase::removeDatabase("backup-check");
  EXPECT_EQ(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"logs-copy.mdb"});

  const QByteArray first = FileBytes(copy);
  EXPECT_EQ(BackupTo(folder.DatabasePath(), copy, false), ExitCode(TExitStatus::DatabaseExists));
  EXPECT_EQ(FileBytes(copy), first);
  folder.Execute("DELETE FROM records");
  EXPECT_EQ(BackupTo(folder.DatabasePath(), copy, true), ExitCode(TExitStatus::Ok));
  EXPECT_NE(FileBytes(copy), first);
  for (const QString& own : {folder.DatabasePath(), folder.DatabasePath() + "-wal", folder.Path() + "./logs.mdb-shm"}) {
    EXPECT_EQ(BackupTo(folder.DatabasePath(), own, true), ExitCode(TExitStatus::Usage)) << own.toStdString();
  }
  // Named through a symbolic link, the database keeps its -wal beside the file itself.
  const QString link = elsewhere.filePath("link.mdb");
  ASSERT_TRUE(QFile::link(folder.DatabasePath(), link));
  EXPECT_EQ(BackupTo(link, folder.DatabasePath() + "-wal", true), ExitCode(TExitStatus::Usage));
  // The last connection to close takes the write-ahead log with it, as a run's does.
  EXPECT_FALSE(QFile::exists(folder.DatabasePath() + "-shm"));
  EXPECT_EQ(folder.Query("PRAGMA integrity_check"), QStringList{"ok"});
}

QStringList FolderEntries(const QString& Path) {
  return QDir(Path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Through a second hard link SQLite would see another database beside the first, and each
// tool would write or read the one file apart from a run's -wal.
TEST(SiteTools, EveryToolRefusesAFileUnderTwoNamesAndWritesNothing) {
  const TLogFolder folder;
  folder.AddReader("10.0.0.1", "4001", false, true, false);
  QTemporaryDir elsewhere;
  const QString backup = elsewhere.filePath("backup.mdb");
  ASSERT_EQ(BackupTo(folder.DatabasePath(), backup, false), ExitCode(TExitStatus::Ok));
  const QByteArray before = FileBytes(folder.DatabasePath());
  for (const QString& name : {folder.DatabasePath(), folder.SecondName()}) {
    EXPECT_EQ(ListReaders(name), ExitCode(TExitStatus::DatabaseLinked));
    EXPECT_EQ(AddReader(name, Reader("10.0.0.2:4001"), {}), ExitCode(TExitStatus::DatabaseLinked));
    EXPECT_EQ(RemoveReader(name, Reader("10.0.0.1:4001")), ExitCode(TExitStatus::DatabaseLinked));
    EXPECT_EQ(ExportRecords(name, {}, stdout), ExitCode(TExitStatus::DatabaseLinked));
    EXPECT_EQ(BackupTo(name, elsewhere.filePath("copy.mdb"), false), ExitCode(TExitStatus::DatabaseLinked));
    EXPECT_EQ(RestoreFrom(name, backup, false), ExitCode(TExitStatus::DatabaseLinked));
  }
  EXPECT_EQ(FileBytes(folder.DatabasePath()), before);
  EXPECT_EQ(FolderEntries(folder.Path()).join(' ').toStdString(), "hard.mdb logs.mdb");
  EXPECT_FALSE(QFile::exists(elsewhere.filePath("copy.mdb")));
}

// A POSIX access-control list as the kernel keeps it in its extended attribute: (tag, perm, id).
using TAclEntries = std::vector<std::array<quint32, 3>>;
constexpr quint32 AclUser = 2;
constexpr quint32 AclMask = 0x10;

QByteArray AclBytes(const TAclEntries& Entries) {
  QByteArray bytes;
  const auto put = [&bytes](quint32 Value, int Size) { bytes.append(reinterpret_cast<const char*>(&Value), Size); };
  put(2, 4);
  for (const auto& [tag, perm, id] : Entries) {
    put(tag, 2);
    put(perm, 2);
    put(id, 4);
  }
  return bytes;
}

TAclEntries AclOf(const QString& Path) {
  char bytes[256];
  const ssize_t size = ::getxattr(QFile::encodeName(Path).constData(), "system.posix_acl_access", bytes, sizeof bytes);
  TAclEntries entries;
  for (ssize_t at = 4; at + 8 <= size; at += 8) {
    quint16 tag = 0;
    quint16 perm = 0;
    quint32 id = 0;
    std::memcpy(&tag, bytes + at, 2);
    std::memcpy(&perm, bytes + at + 2, 2);
    std::memcpy(&id, bytes + at + 4, 4);
    entries.push_back({tag, perm, id});
  }
  return entries;
}

// The file a killed run leaves: committed records in a -wal beside it that the file lacks.
void LeaveCommittedWal(const TLogFolder& Folder, const QString& Sql) {
  const QString wal = Folder.DatabasePath() + "-wal";
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "killed-run");
    db.setDatabaseName(Folder.DatabasePath());
    ASSERT_TRUE(db.open());
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec("PRAGMA journal_mode=WAL") && query.next());
    ASSERT_TRUE(query.exec("PRAGMA wal_autocheckpoint=0"));
    ASSERT_TRUE(query.exec(Sql));
    ASSERT_TRUE(QFile::copy(wal, wal + ".kept"));
    query = QSqlQuery();
    db.close();
  }
  QSqlDatabase::removeDatabase("killed-run");
  ASSERT_FALSE(QFile::exists(wal));
  ASSERT_TRUE(QFile::rename(wal + ".kept", wal));
}

// The restored file is the copy, the group's as --init makes it, with the folder's default
// access-control entries working; the file it replaced is kept whole with its -wal, and no
// file of the old database stays beside the new one, where SQLite would replay it.
TEST(SiteRestore, PutsTheCopyInPlaceForTheGroupAndKeepsTheOldFileWhole) {
  const TLogFolder folder;
  folder.AddReader("127.0.0.1", "4001", true, true, false);
  folder.Execute("INSERT INTO records VALUES ('2026-01-01 08:00:00', 1, 'a', 1)");
  QTemporaryDir backups;
  const QString copy = backups.filePath("logs-2026-01-01.mdb");
  ASSERT_EQ(BackupTo(folder.DatabasePath(), copy, false), ExitCode(TExitStatus::Ok));
  folder.Execute("INSERT INTO records VALUES ('2026-01-02 08:00:00', 2, 'a', 1)");
  LeaveCommittedWal(folder, "INSERT INTO records VALUES ('2026-01-03 08:00:00', 3, 'a', 1)");
  ASSERT_EQ(::chmod(QFile::encodeName(folder.DatabasePath()).constData(), 0640), 0);
  constexpr quint32 Monitor = 4242;
  const QByteArray acl = AclBytes({{1, 6, ~0u}, {AclUser, 4, Monitor}, {4, 6, ~0u}, {AclMask, 6, ~0u}, {0x20, 0, ~0u}});
  ASSERT_EQ(::setxattr(QFile::encodeName(folder.Path()).constData(), "system.posix_acl_default", acl.data(), acl.size(), 0), 0);
  constexpr gid_t DataGroup = 61006;
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(QFile::encodeName(folder.Path()).constData(), static_cast<uid_t>(-1), DataGroup), 0);
  }

  const mode_t umask = ::umask(0077);
  const int code = RestoreFrom(folder.DatabasePath(), copy, false);
  ::umask(umask);
  ASSERT_EQ(code, ExitCode(TExitStatus::Ok));
  EXPECT_EQ(folder.Query("SELECT CARDNO FROM records"), QStringList{"1"});
  EXPECT_EQ(ModeOf(folder.DatabasePath()), 0660u);
  if (root) {
    struct stat restored {};
    ASSERT_EQ(::stat(QFile::encodeName(folder.DatabasePath()).constData(), &restored), 0);
    EXPECT_EQ(restored.st_gid, DataGroup);
  }
  const TAclEntries entries = AclOf(folder.DatabasePath());
  EXPECT_NE(std::find(entries.begin(), entries.end(), std::array<quint32, 3>{AclUser, 4, Monitor}), entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), std::array<quint32, 3>{AclMask, 6, ~0u}), entries.end());
  const QStringList names = FolderEntries(folder.Path());
  ASSERT_EQ(names.size(), 3) << names.join(' ').toStdString();
  const QString kept = folder.Path() + names.at(1);
  EXPECT_TRUE(names.at(1).startsWith("logs.mdb.before-restore-")) << names.join(' ').toStdString();
  EXPECT_EQ(names.at(2), names.at(1) + "-wal");
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "kept");
    db.setDatabaseName(kept);
    ASSERT_TRUE(db.open());
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec("SELECT group_concat(CARDNO) FROM records") && query.next());
    EXPECT_EQ(query.value(0).toString(), "1,2,3");
  }
  QSqlDatabase::removeDatabase("kept");
  TLogDatabase run;
  run.OpenDatabase(folder.DatabasePath());
  EXPECT_EQ(ReadReaderRecords(run).size(), 1u);
  run.CloseDatabase();

  // Without a copy of the old one kept, the folder holds the restored file alone.
  for (const QString& name : FolderEntries(folder.Path()).mid(1)) ASSERT_TRUE(QFile::remove(folder.Path() + name));
  ASSERT_EQ(RestoreFrom(folder.DatabasePath(), copy, true), ExitCode(TExitStatus::Ok));
  EXPECT_EQ(FolderEntries(folder.Path()), QStringList{"logs.mdb"});
}

// Nothing changes when the copy is no database a run can use, or when a run, a watch or
// another program has logs.mdb open; the refusal names the holder and how to stop it.
TEST(SiteRestore, RefusesAnUnusableCopyOrAHeldFileChangingNothing) {
  const TLogFolder folder;
  folder.Execute("INSERT INTO records VALUES ('2026-01-01 08:00:00', 1, 'a', 1)");
  QTemporaryDir backups;
  const QString copy = backups.filePath("copy.mdb");
  ASSERT_EQ(BackupTo(folder.DatabasePath(), copy, false), ExitCode(TExitStatus::Ok));
  const QString noCardNo = backups.filePath("by-hand.mdb");
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "by-hand");
    db.setDatabaseName(noCardNo);
    ASSERT_TRUE(db.open());
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec("CREATE TABLE readers (ipaddr TEXT, ipport TEXT, setclk INTEGER, download INTEGER, clrafter INTEGER)"));
    ASSERT_TRUE(query.exec("CREATE TABLE records (RECTIME TEXT, READER TEXT, MODE INTEGER)"));
  }
  QSqlDatabase::removeDatabase("by-hand");
  const QString junk = backups.filePath("junk.mdb");
  {
    QFile file(junk);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'x'));
  }
  const QByteArray before = FileBytes(folder.DatabasePath());
  const auto unchanged = [&] {
    return FileBytes(folder.DatabasePath()) == before && FolderEntries(folder.Path()) == QStringList{"logs.mdb"};
  };
  struct TCase {
    QString File;
    TExitStatus Status;
    const char* Says;
  };
  for (const TCase& refused : {TCase{backups.filePath("none.mdb"), TExitStatus::Usage, "is no file"},
                               TCase{folder.DatabasePath() + "-wal", TExitStatus::Usage, "is the database or one of its files"},
                               TCase{junk, TExitStatus::DatabaseUnusable, "cannot be restored: file is not a database"},
                               TCase{noCardNo, TExitStatus::DatabaseUnusable, "no table records a run can use"}}) {
    TCapturedErrors captured;
    EXPECT_EQ(RestoreFrom(folder.DatabasePath(), refused.File, false), ExitCode(refused.Status)) << refused.File.toStdString();
    EXPECT_TRUE(captured.Text().contains(refused.Says)) << refused.Says;
    EXPECT_TRUE(unchanged());
  }
  {
    const TRunLock run(folder.DatabasePath());
    ASSERT_TRUE(run.Held());
    EXPECT_EQ(RestoreFrom(folder.DatabasePath(), copy, false), ExitCode(TExitStatus::DatabaseInUse));
    EXPECT_TRUE(unchanged());
  }
  const QString sqlite3 = QStandardPaths::findExecutable("sqlite3");
  struct THolder {
    QStringList Program;
    const char* Input;
    QString Says;
  };
  for (const THolder& held :
       {THolder{{"flock", "-o", folder.DatabasePath(), "cat"}, "", "a run (process %1) holds"},
        THolder{{"flock", "-o", folder.DatabasePath(), "sh", "-c", "cat", "sh", "--watch"}, "",
                "a watch (process %1) holds %2; nothing restored. Stop it first, as root: systemctl stop quillmere-watch.service"},
        THolder{{sqlite3, folder.DatabasePath()}, "BEGIN; SELECT COUNT(*) FROM records;\n",
                "process %1 (" + sqlite3 + " %2) has %2 open; nothing restored"}}) {
    QProcess holder;
    holder.start(held.Program.front(), held.Program.mid(1));
    ASSERT_TRUE(holder.waitForStarted());
    holder.write(held.Input);
    ASSERT_TRUE(WaitUntil([&] { return !LocksOfOthers(folder.DatabasePath()).empty(); }, 5000));
    TCapturedErrors captured;
    EXPECT_EQ(RestoreFrom(folder.DatabasePath(), copy, false), ExitCode(TExitStatus::DatabaseInUse));
    const QByteArray says = held.Says.arg(holder.processId()).arg(folder.DatabasePath()).toLocal8Bit();
    const QByteArray text = captured.Text();
    EXPECT_TRUE(text.contains(says)) << text.toStdString();
    holder.closeWriteChannel();
    holder.kill();
    holder.waitForFinished();
    EXPECT_TRUE(unchanged());
  }
}

}  // namespace
