#pragma once

#include <QSqlQuery>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "DateTime.h"
#include "Errors.h"
#include "KeptLogs.h"
#include "Transaction.h"

struct sqlite3;
struct TVisit;

// Long enough that someone browsing the file in another SQLite tool never fails a run.
constexpr int DefaultBusyTimeoutMs = 10000;

// Why logs.mdb could not be opened: each needs a person, and each ends a run its own way.
enum class TOpenFailure { Missing, Unwritable, Unusable, Linked };

class EDatabaseOpenError : public EDatabaseError {
 public:
  EDatabaseOpenError(TOpenFailure Kind, const QString& Reason);
  TOpenFailure Kind;
};

// The run's one connection to logs.mdb and the records collected so far (its readers: see ReadersTable).
// Records are written only through a TWriteTransaction.
class TLogDatabase {
 public:
  explicit TLogDatabase(int BusyTimeoutMs = DefaultBusyTimeoutMs);
  ~TLogDatabase();
  TLogDatabase(const TLogDatabase&) = delete;
  TLogDatabase& operator=(const TLogDatabase&) = delete;

  // Raises EDatabaseOpenError on a missing or foreign file, a file or folder this user cannot
  // write, a missing table, records without rectime. Never creates the file.
  void OpenDatabase(const QString& FilePath);
  void CloseDatabase();

  // Everything committed so far survives a power cut once this returns, whoever else reads the
  // file; raises EDatabaseError when a step could not complete.
  void MakeDurable();
  // Moves what the write-ahead log holds into the file; raises EDatabaseError when the disk fails.
  void Checkpoint();
  // Whether readers on other connections leave writers free (the file took WAL at the open).
  bool ReadersLeaveWritersFree() const;
  // How long a statement waits for another connection's lock from now on, once open.
  void SetBusyTimeout(int Ms);
  // Short live events are kept pending their log copy from now on (see TLiveCopies).
  void KeepLiveEventsPending();
  bool KeepsLiveEventsPending() const;
  // What the last walk of Reader's kept log remembered (see TKeptLogs); none when nothing is.
  std::optional<TKeptLog> KeptLog(const QString& Reader);
  // Reader's log is cleared: what was remembered of it holds no more. Committed when it returns.
  void ForgetKeptLog(const QString& Reader);
  // Threads waiting for their turn to store give up once Stop answers true (set before they start).
  void AbandonWaitsWhen(std::function<bool()> Stop) { Abandoned = std::move(Stop); }

  const QString& DatabasePath() const { return Path; }
  const QString& Connection() const { return ConnectionName; }

 private:
  friend class TWriteTransaction;

  void CheckReadersTable();
  void CheckRecordsTable();
  void UseWriteAheadLog();
  void PrepareStatements();

  QString ConnectionName;
  std::unique_ptr<class TLogConnection> File;
  int BusyTimeoutMs;
  QString Path;
  std::unique_ptr<class TNativeStatement> ExistsQuery;
  std::unique_ptr<class TNativeStatement> InsertQuery;
  std::unique_ptr<class TNativeStatement> VisitCountsQuery;
  std::unique_ptr<class TLiveCopies> LiveCopies;
  std::unique_ptr<TKeptLogs> KeptLogs;
  sqlite3* NativeDb = nullptr;
  std::function<bool()> Abandoned;  // for the writers' threads, which Qt's connection does not serve
  std::timed_mutex WriteTurn;
};

// What a page of a visit adds to the visit's row while it is stored.
struct TVisitCounts {
  qint64 VisitId = -1;  // -1: the visit has no row
  int Added = 0;
  int Duplicates = 0;
  int Invalid = 0;
};

// How a write transaction meets a lock held elsewhere: it waits, up to the busy time-out; or,
// for a caller that keeps its work for a later try, only a moment (BriefWaitMs) for another
// thread's turn and again for another program's lock: a reader's passing look, not its hold.
enum class TLockWait { UpToTimeout, Briefly };
constexpr int BriefWaitMs = 50;

// The only way to store records: one transaction holding the write lock from its start, so no
// other connection or thread stores between a duplicate test and its insert. Threads that share
// one TLogDatabase take turns here. Nothing counts as stored before Commit returns; a
// transaction that was not committed is rolled back when it goes. Every failure raises
// EDatabaseError; a lock held elsewhere EDatabaseBusy.
class TWriteTransaction {
 public:
  explicit TWriteTransaction(TLogDatabase& Db, TLockWait Wait = TLockWait::UpToTimeout);
  TWriteTransaction(const TWriteTransaction&) = delete;
  TWriteTransaction& operator=(const TWriteTransaction&) = delete;

  bool RecordExists(TDateTime RecTime, int CardNo);
  void StoreRecord(TDateTime RecTime, int CardNo, const QString& Reader, int Mode);
  // A record of the reader's own log, the reader named Reader in records and Identity by its
  // line: new, a duplicate, the copy of a short live event stored with this very time, which
  // takes the log's mode, or held for StoreHeld when the reader has an event of its card pending.
  enum class TLogCopy { Added, Duplicate, LiveCopy, Held };
  TLogCopy StoreLogRecord(TDateTime RecTime, int CardNo, const QString& Reader, const QString& Identity, int Mode);
  // Stores what StoreLogRecord held, in walk order: each record the copy of a pending event of
  // the reader (see AlignPending), a duplicate, or new. Once a walk read the whole log, the
  // reader's events pending since before it began (ForgetBefore) can no longer pair: dropped.
  struct THeldRecord {
    TDateTime RecTime = 0;
    int CardNo = 0;
    int Mode = 0;
  };
  struct THeldStored {
    int Added = 0;
    int Duplicates = 0;
    int LiveCopies = 0;
    std::optional<qint64> ClockOffsetSeconds;  // the reader's clock less this computer's, when it paired any
    int Forgotten = 0;
  };
  THeldStored StoreHeld(const std::vector<THeldRecord>& Held, const QString& Reader, const QString& Identity,
                        std::optional<TDateTime> ForgetBefore);
  // The record just stored from a short live event of the reader Identity awaits its log copy.
  void AwaitLogCopy(TDateTime Arrival, int CardNo, const QString& Identity);
  // Remembers where the walk of Reader's log ended, with the records of its last page.
  void KeepLog(const QString& Reader, const TKeptLog& Log);
  // Keeps the visit's row current with what this transaction stores, in the same commit.
  void NoteVisitCounts(const TVisitCounts& Counts);
  // The visit's running row (see StartVisitRow); its id.
  qint64 StartVisit(const TVisit& Visit);
  void Commit();

 private:
  // Sets the connection's busy time-out to BriefWaitMs for the transaction's life; nothing
  // when it waits up to the time-out.
  class TBriefWait {
   public:
    TBriefWait(sqlite3* ADb, int ARestoreMs, bool Active);
    ~TBriefWait();
    TBriefWait(const TBriefWait&) = delete;
    TBriefWait& operator=(const TBriefWait&) = delete;

   private:
    sqlite3* Db;
    int RestoreMs;
  };

  TLogDatabase& Store;
  std::unique_lock<std::timed_mutex> Turn;
  TBriefWait BriefWait;
  TTransaction Transaction;
};

// RECTIME as stored: 'YYYY-MM-DD HH:MM:SS', which sorts in time order.
QString RecTimeText(TDateTime RecTime);
