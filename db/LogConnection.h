#pragma once

#include <QSqlDatabase>
#include <QString>

struct sqlite3;

// How a connection uses logs.mdb.
enum class TFileUse {
  Write,           // a run, a watch, a tool that changes rows: the file and its folder writable
  Read,            // reads; tidies a write-ahead log away at its close, as a run does, where this user may
  ReadOnly,        // writes and creates nothing, not even a -shm
  ReadUnchanging,  // as ReadOnly, taking the file as it stands, without its -wal and -shm
};

// The one door to logs.mdb: a Qt connection named Name, open and read from once constructed,
// closed and removed with the object. Never creates the file. Raises EDatabaseOpenError with
// one reason per problem, whoever asks: missing, not a plain file, a second hard link, not this
// user's to use (who may, and the fix), not a database, damaged.
class TLogConnection {
 public:
  TLogConnection(QString Name, const QString& Path, TFileUse Use, int BusyTimeoutMs);
  ~TLogConnection();
  TLogConnection(const TLogConnection&) = delete;
  TLogConnection& operator=(const TLogConnection&) = delete;

  QSqlDatabase Db() const;
  sqlite3* Native() const;

 private:
  void Open(const QString& Path, TFileUse Use, int BusyTimeoutMs);
  void Close();

  QString Name;
};
