#include "NativeStatement.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include <string>

#include "Errors.h"
#include "SqlExec.h"

TNativeStatement::TNativeStatement(sqlite3* ADb, const char* ASql) : Db(ADb), Sql(ASql) {}

TNativeStatement::~TNativeStatement() {
  sqlite3_finalize(Statement);
}

void TNativeStatement::Fail() const {
  if (Db == nullptr) throw EDatabaseError("no SQLite connection");
  RaiseDatabaseError(sqlite3_errcode(Db), sqlite3_errmsg(Db));
}

sqlite3_stmt* TNativeStatement::Prepared() {
  if (Statement == nullptr && (Db == nullptr || sqlite3_prepare_v2(Db, Sql.constData(), -1, &Statement, nullptr) != SQLITE_OK)) {
    Fail();
  }
  return Statement;
}

void TNativeStatement::BindText(int Index, const QByteArray& Utf8) {
  if (sqlite3_bind_text(Prepared(), Index, Utf8.constData(), static_cast<int>(Utf8.size()), SQLITE_TRANSIENT) != SQLITE_OK) Fail();
}

void TNativeStatement::BindNull(int Index) {
  if (sqlite3_bind_null(Prepared(), Index) != SQLITE_OK) Fail();
}

void TNativeStatement::BindInt(int Index, int Value) {
  if (sqlite3_bind_int(Prepared(), Index, Value) != SQLITE_OK) Fail();
}

void TNativeStatement::BindInt64(int Index, qint64 Value) {
  if (sqlite3_bind_int64(Prepared(), Index, Value) != SQLITE_OK) Fail();
}

bool TNativeStatement::Next() {
  const int result = sqlite3_step(Prepared());
  if (result == SQLITE_ROW) return true;
  sqlite3_reset(Statement);
  if (result != SQLITE_DONE) Fail();
  return false;
}

const char* TNativeStatement::Text(int Column) const {
  return reinterpret_cast<const char*>(sqlite3_column_text(Statement, Column));
}

int TNativeStatement::TextLength(int Column) const {
  return sqlite3_column_bytes(Statement, Column);
}

qint64 TNativeStatement::Int64(int Column) const {
  return sqlite3_column_int64(Statement, Column);
}

TCellKind TNativeStatement::Kind(int Column) const {
  switch (sqlite3_column_type(Statement, Column)) {
    case SQLITE_INTEGER: return TCellKind::Integer;
    case SQLITE_FLOAT: return TCellKind::Real;
    case SQLITE_TEXT: return TCellKind::Text;
    case SQLITE_BLOB: return TCellKind::Blob;
    default: return TCellKind::Null;
  }
}

// The error text is read before the reset, which would replace it with the step's code only.
bool TNativeStatement::Run() {
  const int result = sqlite3_step(Prepared());
  if (result != SQLITE_ROW && result != SQLITE_DONE) {
    const std::string message = sqlite3_errmsg(Db);
    sqlite3_reset(Statement);
    RaiseDatabaseError(result, message);
  }
  sqlite3_reset(Statement);
  return result == SQLITE_ROW;
}

bool TNativeStatement::Succeeds() noexcept {
  try {
    Run();
    return true;
  } catch (const EDatabaseError&) {
    return false;
  }
}

sqlite3* NativeHandle(const QSqlDatabase& Db) {
  const QVariant handle = Db.driver()->handle();
  return handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3* const*>(handle.data()) : nullptr;
}

bool HasTable(sqlite3* Db, const char* Name) {
  TNativeStatement find(Db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE");
  find.BindText(1, Name);
  return find.Run();
}
