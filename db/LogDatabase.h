#pragma once

#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>

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

  // Fails silently: a missing or foreign file, a missing table, records without rectime.
  // Never creates logs.mdb. Makes ApplicationDirectory the working directory.
  bool OpenDatabase(const QString& ApplicationDirectory);
  void CloseDatabase();

  bool ReadersAtEnd() const { return NextReaderRow >= ReaderRows.size(); }
  void NextReader() { ++NextReaderRow; }
  TReaderRow ReadReaderRow() const;  // raises EConvertError

  bool RecordExists(TDateTime RecTime, int CardNo);                          // raises EDatabaseError
  void StoreRecord(TDateTime RecTime, int CardNo, const QString& Reader, int Mode);  // raises EDatabaseError
  // Everything stored so far survives a power cut once this returns; raises EDatabaseError.
  void MakeDurable();

  const QString& DatabasePath() const { return Path; }

 private:
  bool LoadReaders();
  bool CheckRecordsTable();
  void PrepareStatements();

  QString ConnectionName;
  int BusyTimeoutMs;
  QString Path;
  std::vector<QSqlRecord> ReaderRows;
  std::size_t NextReaderRow = 0;
  QSqlQuery ExistsQuery;
  QSqlQuery InsertQuery;
};

// RECTIME as stored: 'YYYY-MM-DD HH:MM:SS', which sorts in time order.
QString RecTimeText(TDateTime RecTime);

// A connection's error as the text of an exception.
std::string DatabaseErrorText(const QSqlQuery& Query);
