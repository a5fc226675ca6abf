#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

struct sqlite3;
class TNativeStatement;

// Where the last walk of a reader's log that stayed on the reader ended, and enough of that log
// to know it again: the last slot stored and the first slot of page 0, as the reader sent them,
// and the capacity answer of that visit.
struct TKeptLog {
  int Page = 0;  // the page that held the last slot stored
  int Slot = 0;
  QByteArray LastSlot;
  QByteArray FirstSlot;
  int RecordCount = 0;
  int LogMark = 0;
};

// The table kept_logs: a TKeptLog per reader, by the identity of what its connection reaches.
// Written only inside a write transaction, with the records it describes; a file without the
// table remembers nothing until a walk ends. Every failure raises EDatabaseError.
class TKeptLogs {
 public:
  explicit TKeptLogs(sqlite3* Db);
  ~TKeptLogs();
  TKeptLogs(const TKeptLogs&) = delete;
  TKeptLogs& operator=(const TKeptLogs&) = delete;

  std::optional<TKeptLog> Recall(const QString& Reader);
  void Keep(const QString& Reader, const TKeptLog& Log);
  void Forget(const QString& Reader);
  bool Exists() const;

 private:
  sqlite3* Db;
  std::unique_ptr<TNativeStatement> Select;
  std::unique_ptr<TNativeStatement> Create;
  std::unique_ptr<TNativeStatement> Replace;
  std::unique_ptr<TNativeStatement> Delete;
};
