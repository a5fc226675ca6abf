#pragma once

#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

#include "DateTime.h"

struct TReaderRow {
  QString Address;
  QString Port;
  bool SetClock = false;
  bool Download = false;
  bool ClearAfter = false;
};

// Long enough that someone browsing the file in another SQLite tool never fails a run.
constexpr int DefaultBusyTimeoutMs = 10000;

// The run's one connection to logs.mdb: the readers to visit and the records collected so far.
class TLogDatabase {
 public:
  explicit TLogDatabase(int BusyTimeoutMs = DefaultBusyTimeoutMs);
  ~TLogDatabase();
  TLogDatabase(const TLogDatabase&) = delete;
  TLogDatabase& operator=(const TLogDatabase&) = delete;

  // Fails on a missing or foreign file, a file or folder this user cannot write, a missing
  // table, records without rectime; OpenFailure() then says why. Never creates logs.mdb.
  // Makes ApplicationDirectory the working directory.
  bool OpenDatabase(const QString& ApplicationDirectory);
  const QString& OpenFailure() const { return Failure; }
  void CloseDatabase();

  bool ReadersAtEnd() const { return NextReaderRow >= ReaderRows.size(); }
  std::size_t ReaderCount() const { return ReaderRows.size(); }
  void NextReader() { ++NextReaderRow; }
  TReaderRow ReadReaderRow() const;  // raises EConvertError
  // A column of the current row as text, as it stands, for reports; empty when missing.
  QString ReaderText(const QString& Column) const;
  // The same of any row, from 0 in table order.
  QString ReaderText(std::size_t Row, const QString& Column) const;

  bool RecordExists(TDateTime RecTime, int CardNo);                          // raises EDatabaseError
  void StoreRecord(TDateTime RecTime, int CardNo, const QString& Reader, int Mode);  // raises EDatabaseError
  // Everything stored so far survives a power cut once this returns, whoever else reads the
  // file; raises EDatabaseError when a step could not complete.
  void MakeDurable();

  const QString& DatabasePath() const { return Path; }
  const QString& Connection() const { return ConnectionName; }

 private:
  friend class TWriteTransaction;

  bool Refuse(const QString& Reason);
  bool CheckWritable(const QString& ApplicationDirectory);
  bool LoadReaders();
  bool CheckRecordsTable();
  void UseWriteAheadLog();
  void PrepareStatements();

  QString ConnectionName;
  int BusyTimeoutMs;
  QString Path;
  QString Failure;
  bool WriteAheadLog = false;
  std::vector<QSqlRecord> ReaderRows;
  std::size_t NextReaderRow = 0;
  std::unique_ptr<class TNativeStatement> ExistsQuery;
  std::unique_ptr<class TNativeStatement> InsertQuery;
  std::unique_ptr<class TNativeStatement> BeginQuery;
  std::unique_ptr<class TNativeStatement> CommitQuery;
  std::unique_ptr<class TNativeStatement> RollbackQuery;
  std::mutex WriteTurn;
};

// Stores made while it lives form one transaction, committed when it goes, also on a failure
// path: what was stored before a failed store stays stored. It holds the write lock from the
// start, so no other connection stores between a duplicate test and its insert. Threads that
// share one TLogDatabase take turns: it is the only way they may store through it, as it
// alone serialises them. Raises EDatabaseError when the transaction cannot begin.
class TWriteTransaction {
 public:
  explicit TWriteTransaction(TLogDatabase& Db);
  ~TWriteTransaction();
  TWriteTransaction(const TWriteTransaction&) = delete;
  TWriteTransaction& operator=(const TWriteTransaction&) = delete;

 private:
  TLogDatabase& Db;
  std::lock_guard<std::mutex> Turn;
};

// RECTIME as stored: 'YYYY-MM-DD HH:MM:SS', which sorts in time order.
QString RecTimeText(TDateTime RecTime);

// The one place where a failed statement becomes an exception.
void Check(const QSqlQuery& Query, bool Ok);
