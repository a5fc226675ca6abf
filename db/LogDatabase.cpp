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

QString RecTimeText(TDateTime RecTime) {
  const TDateTimeParts p = DecodeDateTime(RecTime);
  return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second);
}

std::string DatabaseErrorText(const QSqlQuery& Query) {
  return Query.lastError().text().toStdString();
}

void Check(const QSqlQuery& Query, bool Ok) {
  if (!Ok) throw EDatabaseError(DatabaseErrorText(Query));
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

void TLogDatabase::PrepareStatements() {
  const QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
  ExistsQuery = QSqlQuery(db);
  ExistsQuery.prepare(QStringLiteral("SELECT 1 FROM records WHERE RECTIME = ? AND CARDNO = ? LIMIT 1"));
  InsertQuery = QSqlQuery(db);
  InsertQuery.prepare(QStringLiteral("INSERT INTO records (RECTIME, CARDNO, READER, MODE) VALUES (?, ?, ?, ?)"));
  // One statement is one write transaction: no other connection can store between test and insert.
  InsertNewQuery = QSqlQuery(db);
  InsertNewQuery.prepare(QStringLiteral("INSERT INTO records (RECTIME, CARDNO, READER, MODE) SELECT ?, ?, ?, ? "
                                        "WHERE NOT EXISTS (SELECT 1 FROM records WHERE RECTIME = ? AND CARDNO = ?)"));
}

void TLogDatabase::CloseDatabase() {
  ExistsQuery = QSqlQuery();
  InsertQuery = QSqlQuery();
  InsertNewQuery = QSqlQuery();
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
  return ReaderRows.at(NextReaderRow).value(Column).toString();
}

bool TLogDatabase::RecordExists(TDateTime RecTime, int CardNo) {
  ExistsQuery.bindValue(0, RecTimeText(RecTime));
  ExistsQuery.bindValue(1, CardNo);
  Check(ExistsQuery, ExistsQuery.exec());
  const bool found = ExistsQuery.next();
  ExistsQuery.finish();
  return found;
}

void TLogDatabase::StoreRecord(TDateTime RecTime, int CardNo, const QString& Reader, int Mode) {
  InsertQuery.bindValue(0, RecTimeText(RecTime));
  InsertQuery.bindValue(1, CardNo);
  InsertQuery.bindValue(2, Reader);
  InsertQuery.bindValue(3, Mode);
  // One INSERT is atomic: a failed post leaves no half-written row behind.
  Check(InsertQuery, InsertQuery.exec());
}

bool TLogDatabase::StoreRecordIfNew(TDateTime RecTime, int CardNo, const QString& Reader, int Mode) {
  const QString recTime = RecTimeText(RecTime);
  InsertNewQuery.bindValue(0, recTime);
  InsertNewQuery.bindValue(1, CardNo);
  InsertNewQuery.bindValue(2, Reader);
  InsertNewQuery.bindValue(3, Mode);
  InsertNewQuery.bindValue(4, recTime);
  InsertNewQuery.bindValue(5, CardNo);
  Check(InsertNewQuery, InsertNewQuery.exec());
  return InsertNewQuery.numRowsAffected() == 1;
}

// Commits reach the log without a sync (synchronous=NORMAL), and a checkpoint cannot finish
// while another program holds a read snapshot. Syncing the log, then the main file (which a
// checkpoint may have moved frames into), puts every committed record on the disk either way.
void TLogDatabase::MakeDurable() {
  if (WriteAheadLog) SyncToDisk(Path + QStringLiteral("-wal"), true);
  SyncToDisk(Path);
  SyncToDisk(QFileInfo(Path).absolutePath());
}
