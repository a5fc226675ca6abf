#pragma once

#include <QSqlDatabase>
#include <QString>

#include "LogConnection.h"

struct sqlite3;

enum class TAccess { Read, Write };

// One connection of a site tool to logs.mdb, closed with the object. Read access writes
// nothing, though SQLite may tidy the write-ahead log away at the close. Never creates the file:
// raises EDatabaseOpenError as every way in to the file does.
class TSiteConnection {
 public:
  TSiteConnection(const QString& DatabasePath, TAccess Access);

  QSqlDatabase Db() const;
  sqlite3* Native() const;
  bool HasTable(const QString& Name) const;

 private:
  TLogConnection Connection;
};
