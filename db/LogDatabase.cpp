#include "LogDatabase.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <initializer_list>

#include "DiskSync.h"
#include "LiveCopies.h"
#include "LogConnection.h"
#include "NativeStatement.h"
#include "ReadersTable.h"
#include "VisitJournal.h"

namespace {

QString NewConnectionName() {
  static std::atomic<int> Counter{0};
  return QStringLiteral("logs-%1").arg(++Counter);
}

[[noreturn]] void Refuse(TOpenFailure Kind, const QString& Reason) {
  throw EDatabaseOpenError(Kind, Reason);
}

// A statement that may fail for a reason that is a state of the file (a lock another program
// holds, a table made by hand without a column); any other failure is the disk's, and raises.
void ExecuteUnless(const QSqlDatabase& Db, const QString& Sql, std::initializer_list<int> StateCodes) {
  QSqlQuery query(Db);
  // A statement that answers with a row may fail only at the step after it.
  bool done = query.exec(Sql);
  while (done && query.next()) {
  }
  done = done && query.lastError().type() == QSqlError::NoError;
  if (done) return;
  const int code = sqlite3_errcode(NativeHandle(Db)) & 0xFF;
  if (std::find(StateCodes.begin(), StateCodes.end(), code) != StateCodes.end()) return;
  Refuse(TOpenFailure::Unusable, query.lastError().text());
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

EDatabaseOpenError::EDatabaseOpenError(TOpenFailure AKind, const QString& Reason)
    : EDatabaseError(Reason.toStdString()), Kind(AKind) {}

TLogDatabase::TLogDatabase(int ABusyTimeoutMs) : ConnectionName(NewConnectionName()), BusyTimeoutMs(ABusyTimeoutMs) {}

TLogDatabase::~TLogDatabase() {
  CloseDatabase();
}

void TLogDatabase::OpenDatabase(const QString& FilePath) {
  Path = QFileInfo(FilePath).absoluteFilePath();
  File = std::make_unique<TLogConnection>(ConnectionName, Path, TFileUse::Write, BusyTimeoutMs);
  const QSqlDatabase db = File->Db();
  CheckReadersTable();
  CheckRecordsTable();
  UseWriteAheadLog();
  // The duplicate test must be an index look-up; a file made by hand may lack the index, or the
  // columns for it (the first look-up then says so).
  ExecuteUnless(db, QStringLiteral("CREATE INDEX IF NOT EXISTS records_time_card ON records (RECTIME, CARDNO)"), {SQLITE_ERROR});
  PrepareStatements();
}

// Each page is its own commit; WAL makes that cheap and safe against a kill, and readers in
// other tools never block the run. MakeDurable covers a power cut where it matters. A file
// that refuses WAL keeps its rollback journal, whose commits are synced anyway.
void TLogDatabase::UseWriteAheadLog() {
  QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
  // Another program reading the file keeps it in rollback-journal mode for this run.
  ExecuteUnless(db, QStringLiteral("PRAGMA journal_mode=WAL"), {SQLITE_BUSY, SQLITE_LOCKED});
  ExecuteUnless(db, QStringLiteral("PRAGMA synchronous=NORMAL"), {});
}

void TLogDatabase::CheckReadersTable() {
  try {
    ReadReaderRecords(*this);
  } catch (const EDatabaseOpenError&) {
    throw;
  } catch (const EDatabaseError& Error) {
    Refuse(TOpenFailure::Unusable, QStringLiteral("no readable table readers: ") + QString::fromLocal8Bit(Error.what()));
  }
}

void TLogDatabase::CheckRecordsTable() {
  QSqlQuery query(QSqlDatabase::database(ConnectionName, false));
  if (!query.exec(QStringLiteral("select * from records order by rectime limit 0"))) {
    Refuse(TOpenFailure::Unusable, QStringLiteral("no table records with a column RECTIME"));
  }
}

void TLogDatabase::PrepareStatements() {
  sqlite3* db = NativeHandle(QSqlDatabase::database(ConnectionName, false));
  NativeDb = db;
  ExistsQuery = std::make_unique<TNativeStatement>(db, "SELECT rowid FROM records WHERE RECTIME = ? AND CARDNO = ? LIMIT 1");
  InsertQuery = std::make_unique<TNativeStatement>(db, "INSERT INTO records (RECTIME, CARDNO, READER, MODE) VALUES (?, ?, ?, ?)");
  VisitCountsQuery = std::make_unique<TNativeStatement>(db, "UPDATE visits SET added = ?, duplicates = ?, invalid = ? WHERE id = ?");
  LiveCopies = std::make_unique<TLiveCopies>(db);
  KeptLogs = std::make_unique<TKeptLogs>(db);
}

bool TLogDatabase::KeepsLiveEventsPending() const {
  return LiveCopies && LiveCopies->KeepsPending();
}

void TLogDatabase::KeepLiveEventsPending() {
  LiveCopies->KeepPending();
}

void TLogDatabase::CloseDatabase() {
  // Before the connection closes: a statement left open would keep it from closing.
  ExistsQuery.reset();
  InsertQuery.reset();
  VisitCountsQuery.reset();
  LiveCopies.reset();
  KeptLogs.reset();
  File.reset();
}

namespace {

constexpr std::chrono::milliseconds TurnSlice{20};

// Threads that share a store queue here while its holder waits for another program's lock:
// a stop must not wait out each of their waits in turn.
std::unique_lock<std::timed_mutex> TakeTurn(std::timed_mutex& Turn, TLockWait Wait, const std::function<bool()>& Abandoned) {
  if (Wait == TLockWait::Briefly) {
    std::unique_lock taken(Turn, std::chrono::milliseconds(BriefWaitMs));
    if (!taken.owns_lock()) throw EStoreTurnBusy("another thread is storing");
    return taken;
  }
  std::unique_lock taken(Turn, std::defer_lock);
  while (!taken.try_lock_for(TurnSlice)) {
    if (Abandoned && Abandoned()) throw EDatabaseBusy("stopped while waiting to store");
  }
  return taken;
}

}  // namespace

TWriteTransaction::TBriefWait::TBriefWait(sqlite3* ADb, int ARestoreMs, bool Active)
    : Db(Active ? ADb : nullptr), RestoreMs(ARestoreMs) {
  if (Db != nullptr) sqlite3_busy_timeout(Db, BriefWaitMs);
}

TWriteTransaction::TBriefWait::~TBriefWait() {
  if (Db != nullptr) sqlite3_busy_timeout(Db, RestoreMs);
}

// The turn is taken first: the busy time-out is the connection's, shared by every thread. BEGIN
// IMMEDIATE takes the write lock now, so no other connection stores between a test and its insert.
TWriteTransaction::TWriteTransaction(TLogDatabase& Db, TLockWait Wait)
    : Store(Db),
      Turn(TakeTurn(Db.WriteTurn, Wait, Db.Abandoned)),
      BriefWait(Db.NativeDb, Db.BusyTimeoutMs, Wait == TLockWait::Briefly),
      Transaction(Db.NativeDb) {}

bool TWriteTransaction::RecordExists(TDateTime RecTime, int CardNo) {
  TNativeStatement& exists = *Store.ExistsQuery;
  exists.BindText(1, RecTimeText(RecTime).toLatin1());
  exists.BindInt(2, CardNo);
  return exists.Run();
}

void TWriteTransaction::StoreRecord(TDateTime RecTime, int CardNo, const QString& Reader, int Mode) {
  TNativeStatement& insert = *Store.InsertQuery;
  insert.BindText(1, RecTimeText(RecTime).toLatin1());
  insert.BindInt(2, CardNo);
  insert.BindText(3, Reader.toUtf8());
  insert.BindInt(4, Mode);
  insert.Run();
}

TWriteTransaction::TLogCopy TWriteTransaction::StoreLogRecord(TDateTime RecTime, int CardNo, const QString& Reader,
                                                              const QString& Identity, int Mode) {
  const QByteArray time = RecTimeText(RecTime).toLatin1();
  TNativeStatement& exists = *Store.ExistsQuery;
  exists.BindText(1, time);
  exists.BindInt(2, CardNo);
  if (exists.Next()) {
    const qint64 id = exists.Int64(0);
    while (exists.Next()) {
    }
    return Store.LiveCopies->TakeExact(id, CardNo, time, Mode) ? TLogCopy::LiveCopy : TLogCopy::Duplicate;
  }
  if (Store.LiveCopies->Awaits(Identity, Reader, CardNo)) return TLogCopy::Held;
  StoreRecord(RecTime, CardNo, Reader, Mode);
  return TLogCopy::Added;
}

namespace {

qint64 WholeSeconds(TDateTime Time) {
  return std::llround(Time * 86400.0);
}

}  // namespace

TWriteTransaction::THeldStored TWriteTransaction::StoreHeld(const std::vector<THeldRecord>& Held, const QString& Reader,
                                                            const QString& Identity, std::optional<TDateTime> ForgetBefore) {
  THeldStored stored;
  const std::vector<TPendingEvent> pending = Store.LiveCopies->PendingOf(Identity, Reader);
  std::vector<TNewLogRecord> log;
  for (const THeldRecord& record : Held) log.push_back({record.CardNo, WholeSeconds(record.RecTime)});
  std::vector<std::optional<std::size_t>> pairedWith(Held.size());
  if (const std::optional<TAlignment> alignment = AlignPending(log, pending)) {
    stored.ClockOffsetSeconds = alignment->OffsetSeconds;
    for (const auto& [record, event] : alignment->Pairs) pairedWith[record] = event;
  }
  for (std::size_t i = 0; i < Held.size(); ++i) {
    const THeldRecord& record = Held[i];
    if (RecordExists(record.RecTime, record.CardNo)) {
      ++stored.Duplicates;
    } else if (pairedWith[i] && Store.LiveCopies->TakeAligned(pending[*pairedWith[i]], record.RecTime, record.Mode)) {
      ++stored.LiveCopies;
    } else {
      StoreRecord(record.RecTime, record.CardNo, Reader, record.Mode);
      ++stored.Added;
    }
  }
  if (ForgetBefore) stored.Forgotten = Store.LiveCopies->Forget(Identity, Reader, *ForgetBefore);
  return stored;
}

void TWriteTransaction::AwaitLogCopy(TDateTime Arrival, int CardNo, const QString& Identity) {
  Store.LiveCopies->AwaitLogCopy(Identity, CardNo, RecTimeText(Arrival).toLatin1());
}

void TWriteTransaction::KeepLog(const QString& Reader, const TKeptLog& Log) {
  Store.KeptLogs->Keep(Reader, Log);
}

void TWriteTransaction::NoteVisitCounts(const TVisitCounts& Counts) {
  if (Counts.VisitId < 0) return;
  TNativeStatement& update = *Store.VisitCountsQuery;
  update.BindInt(1, Counts.Added);
  update.BindInt(2, Counts.Duplicates);
  update.BindInt(3, Counts.Invalid);
  update.BindInt64(4, Counts.VisitId);
  update.Run();
}

qint64 TWriteTransaction::StartVisit(const TVisit& Visit) {
  return StartVisitRow(Store.NativeDb, Visit);
}

// A COMMIT that fails (a full disk, a reader's lock in rollback-journal mode) leaves the
// transaction open: it is rolled back when it goes.
void TWriteTransaction::Commit() {
  Transaction.Commit();
}

void TLogDatabase::SetBusyTimeout(int Ms) {
  BusyTimeoutMs = Ms;
  ExecuteUnless(QSqlDatabase::database(ConnectionName, false), QStringLiteral("PRAGMA busy_timeout = %1").arg(Ms), {});
}

void TLogDatabase::Checkpoint() {
  // Whatever this connection found at its open: another may have switched the file to WAL since.
  TNativeStatement checkpoint(NativeHandle(QSqlDatabase::database(ConnectionName, false)), "PRAGMA wal_checkpoint(PASSIVE)");
  checkpoint.Run();
}

bool TLogDatabase::ReadersLeaveWritersFree() const {
  TNativeStatement mode(NativeHandle(QSqlDatabase::database(ConnectionName, false)), "PRAGMA journal_mode");
  return mode.Next() && qstricmp(mode.Text(0), "wal") == 0;
}

// Under the write turn: the threads that share the connection take turns at every statement.
std::optional<TKeptLog> TLogDatabase::KeptLog(const QString& Reader) {
  const std::lock_guard turn(WriteTurn);
  return KeptLogs->Recall(Reader);
}

// A file that never kept a log is not locked for nothing.
void TLogDatabase::ForgetKeptLog(const QString& Reader) {
  {
    const std::lock_guard turn(WriteTurn);
    if (!KeptLogs->Exists()) return;
  }
  TWriteTransaction transaction(*this);
  KeptLogs->Forget(Reader);
  transaction.Commit();
}

// Commits reach the log without a sync (synchronous=NORMAL). Syncing the log, then the main
// file (which a checkpoint may have moved frames into), puts every committed record on the disk
// whoever else reads the file. Under the write turn: another thread may be committing meanwhile.
void TLogDatabase::MakeDurable() {
  const std::lock_guard turn(WriteTurn);
  SyncConnectionFiles(NativeDb);
  SyncFolder(QFileInfo(Path).absolutePath());
}
