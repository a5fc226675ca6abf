#pragma once

#include <QByteArray>
#include <QtGlobal>

struct sqlite3;
struct sqlite3_stmt;

// What a column of the current row holds, as SQLite stored it.
enum class TCellKind { Integer, Real, Text, Blob, Null };

// One prepared statement on a connection's native handle, finalized with the object. For the
// two statements every downloaded record runs: Qt's binding costs more than SQLite's own work.
// Prepared at its first use, so it may name a table made after it (the visit journal's);
// failures raise EDatabaseError with SQLite's message.
class TNativeStatement {
 public:
  TNativeStatement(sqlite3* Db, const char* Sql);
  ~TNativeStatement();
  TNativeStatement(const TNativeStatement&) = delete;
  TNativeStatement& operator=(const TNativeStatement&) = delete;

  void BindText(int Index, const QByteArray& Utf8);
  void BindNull(int Index);
  void BindInt(int Index, int Value);
  void BindInt64(int Index, qint64 Value);
  // Runs it once: true when it gave a row. It is reset and ready again afterwards.
  bool Run();
  // Runs it once where a failure is answered without its reason: false when it failed.
  bool Succeeds() noexcept;

  // For a query read row by row: the next row (false at the end, when it is reset), and its
  // columns, from 0. Text is UTF-8 and lives until the next step; null is a null pointer.
  bool Next();
  const char* Text(int Column) const;
  int TextLength(int Column) const;
  qint64 Int64(int Column) const;
  TCellKind Kind(int Column) const;

 private:
  [[noreturn]] void Fail() const;
  sqlite3_stmt* Prepared();

  sqlite3* Db;
  QByteArray Sql;
  sqlite3_stmt* Statement = nullptr;
};

// The native handle under a Qt SQLite connection; null when it has none.
sqlite3* NativeHandle(const class QSqlDatabase& Db);
// Whether the connection's main schema holds a table of this name.
bool HasTable(sqlite3* Db, const char* Name);
