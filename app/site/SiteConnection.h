#pragma once

#include <QSqlDatabase>
#include <QString>

struct sqlite3;

enum class TAccess { Read, Write };

// One connection of a site tool to logs.mdb, closed with the object. Read access writes
// nothing, though SQLite may tidy the write-ahead log away at the close. Never creates the file:
// raises EDatabaseOpenError (Missing, Unusable) when it is not there or not SQLite.
class TSiteConnection {
 public:
  TSiteConnection(const QString& DatabasePath, TAccess Access);
  ~TSiteConnection();
  TSiteConnection(const TSiteConnection&) = delete;
  TSiteConnection& operator=(const TSiteConnection&) = delete;

  QSqlDatabase Db() const;
  sqlite3* Native() const;
  bool HasTable(const QString& Name) const;

 private:
  void Open(const QString& DatabasePath, TAccess Access);
  void Close();

  QString Name;
};

// BEGIN IMMEDIATE now, so nothing else writes between what is read and what is written; rolled
// back when it goes without Commit. Failures raise EDatabaseError.
class TSiteTransaction {
 public:
  explicit TSiteTransaction(const TSiteConnection& Connection);
  ~TSiteTransaction();
  TSiteTransaction(const TSiteTransaction&) = delete;
  TSiteTransaction& operator=(const TSiteTransaction&) = delete;
  void Commit();

 private:
  const TSiteConnection& Connection;
  bool Committed = false;
};
