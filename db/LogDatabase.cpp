#include "LogDatabase.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QUrl>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "DiskSync.h"
#include "NativeStatement.h"
#include "Errors.h"
#include "ValueConversion.h"

namespace {

QString NewConnectionName() {
  static std::atomic<int> Counter{0};
  return QStringLiteral("logs-%1").arg(++Counter);
}

// mode=rw: SQLite would otherwise create an empty file where logs.mdb is missing.
QString ReadWriteUri(const QString& FilePath) {
  return QUrl::fromLocalFile(FilePath).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw");
}

bool Execute(QSqlDatabase& Db, const QString& Sql) {
  QSqlQuery query(Db);
  return query.exec(Sql);
}

QString WriteRefusal(const QString& Path) {
  return ::access(Path.toLocal8Bit().constData(), W_OK) == 0 ? QString() : QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

// Written by hand: it runs twice per record, and a formatted print costs ten times as much.
QString RecTimeText(TDateTime RecTime) {
  const TDateTimeParts p = DecodeDateTime(RecTime);
  char text[] = "0000-00-00 00:00:00";
  const auto put = [&text](int Offset, int Digits, int Value) {
    for (int i = Digits - 1; i >= 0; --i, Value /= 10) text[Offset + i] = static_cast<char>('0' + Value % 10);
  };
  put(0, 4, p.Year);
  put(5, 2, p.Month);
  put(8, 2, p.Day);
  put(11, 2, p.Hour);
  put(14, 2, p.Minute);
  put(17, 2, p.Second);
  return QString::fromLatin1(text, sizeof text - 1);
}

void Check(const QSqlQuery& Query, bool Ok) {
  if (!Ok) throw EDatabaseError(Query.lastError().text().toStdString());
}

TLogDatabase::TLogDatabase(int BusyTimeoutMs) : ConnectionName(NewConnectionName()), BusyTimeoutMs(BusyTimeoutMs) {}

TLogDatabase::~TLogDatabase() {
  CloseDatabase();
}

bool TLogDatabase::OpenDatabase(const QString& ApplicationDirectory) {
  Path = QDir(ApplicationDirectory).filePath(QStringLiteral("logs.mdb"));
  if (!QDir::setCurrent(ApplicationDirectory)) return Refuse(QStringLiteral("its folder cannot be entered"));
  if (!QFileInfo(Path).isFile()) return Refuse(QStringLiteral("no such file"));
  if (!CheckWritable(ApplicationDirectory)) return false;

  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
  db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
  db.setDatabaseName(ReadWriteUri(Path));
  if (!db.open()) return Refuse(db.lastError().text());
  if (!LoadReaders()) return Refuse(QStringLiteral("no readable table readers"));
  if (!CheckRecordsTable()) return Refuse(QStringLiteral("no table records with a column RECTIME"));

  UseWriteAheadLog();
  // The duplicate test must be an index look-up; a file made by hand may lack the index.
  Execute(db, QStringLiteral("CREATE INDEX IF NOT EXISTS records_time_card ON records (RECTIME, CARDNO)"));
  PrepareStatements();
  return true;
}

bool TLogDatabase::Refuse(const QString& Reason) {
  Failure = Reason;
  return false;
}

// SQLite would open a file it cannot write read-only without a word, and the first store
// would fail with the reader already locked. The folder takes the journal and the run lock.
bool TLogDatabase::CheckWritable(const QString& ApplicationDirectory) {
  for (const QString& target : {Path, ApplicationDirectory}) {
    const QString refusal = WriteRefusal(target);
    if (!refusal.isEmpty()) return Refuse(QStringLiteral("%1 cannot be written: %2").arg(target, refusal));
  }
  return true;
}

// Each record is its own commit; WAL makes that cheap and safe against a kill, and readers in
// other tools never block the run. MakeDurable covers a power cut where it matters. A file
// that refuses WAL keeps its rollback journal, whose commits are synced anyway.
void TLogDatabase::UseWriteAheadLog() {
  QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
  QSqlQuery mode(db);
  WriteAheadLog = mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && mode.next() &&
                  mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
  Execute(db, QStringLiteral("PRAGMA synchronous=NORMAL"));
}

bool TLogDatabase::LoadReaders() {
  QSqlQuery query(QSqlDatabase::database(ConnectionName, false));
  query.setForwardOnly(true);
  if (!query.exec(QStringLiteral("select * from readers"))) return false;
  while (query.next()) ReaderRows.push_back(query.record());
  NextReaderRow = 0;
  return query.lastError().type() == QSqlError::NoError;
}

bool TLogDatabase::CheckRecordsTable() {
  QSqlQuery query(QSqlDatabase::database(ConnectionName, false));
  return query.exec(QStringLiteral("select * from records order by rectime limit 0"));
}

// A table made by hand may lack a column: that fails the first record's look-up or store, with
// SQLite's reason, not the open.
void TLogDatabase::PrepareStatements() {
  sqlite3* db = NativeHandle(QSqlDatabase::database(ConnectionName, false));
  ExistsQuery = std::make_unique<TNativeStatement>(db, "SELECT 1 FROM records WHERE RECTIME = ? AND CARDNO = ? LIMIT 1");
  InsertQuery = std::make_unique<TNativeStatement>(db, "INSERT INTO records (RECTIME, CARDNO, READER, MODE) VALUES (?, ?, ?, ?)");
  // Native, not Qt's: a Qt connection answers only in the thread that opened it.
  BeginQuery = std::make_unique<TNativeStatement>(db, "BEGIN IMMEDIATE");
  CommitQuery = std::make_unique<TNativeStatement>(db, "COMMIT");
  RollbackQuery = std::make_unique<TNativeStatement>(db, "ROLLBACK");
}

void TLogDatabase::CloseDatabase() {
  // Before the connection closes: a statement left open would keep it from closing.
  ExistsQuery.reset();
  InsertQuery.reset();
  BeginQuery.reset();
  CommitQuery.reset();
  RollbackQuery.reset();
  ReaderRows.clear();
  NextReaderRow = 0;
  if (!QSqlDatabase::contains(ConnectionName)) return;
  QSqlDatabase::database(ConnectionName, false).close();
  QSqlDatabase::removeDatabase(ConnectionName);
}

TReaderRow TLogDatabase::ReadReaderRow() const {
  const QSqlRecord& row = ReaderRows.at(NextReaderRow);
  TReaderRow result;
  result.Address = ColumnText(row, QStringLiteral("ipaddr"));
  result.Port = ColumnText(row, QStringLiteral("ipport"));
  result.SetClock = ColumnBoolean(row, QStringLiteral("setclk"));
  result.Download = ColumnBoolean(row, QStringLiteral("download"));
  result.ClearAfter = ColumnBoolean(row, QStringLiteral("clrafter"));
  return result;
}

QString TLogDatabase::ReaderText(const QString& Column) const {
  return ReaderText(NextReaderRow, Column);
}

QString TLogDatabase::ReaderText(std::size_t Row, const QString& Column) const {
  return ReaderRows.at(Row).value(Column).toString();
}

bool TLogDatabase::RecordExists(TDateTime RecTime, int CardNo) {
  ExistsQuery->BindText(1, RecTimeText(RecTime).toLatin1());
  ExistsQuery->BindInt(2, CardNo);
  return ExistsQuery->Run();
}

void TLogDatabase::StoreRecord(TDateTime RecTime, int CardNo, const QString& Reader, int Mode) {
  InsertQuery->BindText(1, RecTimeText(RecTime).toLatin1());
  InsertQuery->BindInt(2, CardNo);
  InsertQuery->BindText(3, Reader.toUtf8());
  InsertQuery->BindInt(4, Mode);
  // One INSERT is atomic: a failed post leaves no half-written row behind.
  InsertQuery->Run();
}

// IMMEDIATE: the write lock now, so no other connection stores between a test and its insert.
TWriteTransaction::TWriteTransaction(TLogDatabase& Db) : Db(Db), Turn(Db.WriteTurn) {
  Db.BeginQuery->Run();
}

TWriteTransaction::~TWriteTransaction() {
  if (!Db.CommitQuery->Succeeds()) Db.RollbackQuery->Succeeds();
}

// Commits reach the log without a sync (synchronous=NORMAL), and a checkpoint cannot finish
// while another program holds a read snapshot. Syncing the log, then the main file (which a
// checkpoint may have moved frames into), puts every committed record on the disk either way.
void TLogDatabase::MakeDurable() {
  if (WriteAheadLog) SyncToDisk(Path + QStringLiteral("-wal"), true);
  SyncToDisk(Path);
  SyncToDisk(QFileInfo(Path).absolutePath());
}
