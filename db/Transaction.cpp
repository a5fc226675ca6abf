#include "Transaction.h"

#include "NativeStatement.h"

// Native, not Qt's: a Qt connection answers only in the thread that opened it.
TTransaction::TTransaction(sqlite3* ADb) : Db(ADb) {
  TNativeStatement(Db, "BEGIN IMMEDIATE").Run();
}

TTransaction::~TTransaction() {
  if (!Committed) TNativeStatement(Db, "ROLLBACK").Succeeds();
}

void TTransaction::Commit() {
  TNativeStatement(Db, "COMMIT").Run();
  Committed = true;
}
