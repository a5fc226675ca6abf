#pragma once

struct sqlite3;

// BEGIN IMMEDIATE at once, so nothing else writes between what is read and what is written; only
// an explicit Commit keeps it, and it is rolled back when it goes without one (a COMMIT that
// failed included). Failures raise EDatabaseError, a lock held elsewhere EDatabaseBusy.
class TTransaction {
 public:
  explicit TTransaction(sqlite3* Db);
  ~TTransaction();
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;
  void Commit();

 private:
  sqlite3* Db;
  bool Committed = false;
};
