#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <libpq-fe.h>

#include <memory>

// A connection to a PostgreSQL server through libpq, closed with the object. Failures are
// results: a call returns false and Error() says why, in libpq's words, which never carry the
// password.
class TPgConnection {
 public:
  // Url is a libpq connection URI; passwords also come from ~/.pgpass, PGPASSFILE, PGPASSWORD.
  // A server that does not answer is given up after ConnectTimeoutSeconds, a statement after
  // StatementTimeoutMs, a link that stops carrying data after about ten seconds.
  TPgConnection(const QString& Url, int ConnectTimeoutSeconds, int StatementTimeoutMs);
  ~TPgConnection();
  TPgConnection(const TPgConnection&) = delete;
  TPgConnection& operator=(const TPgConnection&) = delete;

  bool Connected() const;
  // The server was reached and refused us (a password, a database, a role): not an outage.
  bool Refused() const;
  QString Error() const { return LastError; }
  // The SQLSTATE of the last failed statement ("23505": a unique key violated); empty if none.
  QString ErrorCode() const { return LastErrorCode; }
  // host:port/dbname, for messages: never the password.
  QString Target() const;

  bool Exec(const QString& Sql, const QStringList& Params = {});
  // The first column of each row of Sql's result; false on failure.
  bool Column(const QString& Sql, const QStringList& Params, QStringList& Values);
  // COPY ... FROM STDIN with Rows in COPY's text format.
  bool Copy(const QString& Sql, const QByteArray& Rows);

 private:
  using TResult = std::unique_ptr<PGresult, decltype(&PQclear)>;
  TResult Run(const QString& Sql, const QStringList& Params, ExecStatusType Expected);
  void NoteError();

  void NoteResultError(const PGresult* Result);

  PGconn* Connection = nullptr;
  QString LastError;
  QString LastErrorCode;
};

// A field in COPY's text format: tabs, line breaks and backslashes escaped; a null Utf8 is \N.
void AppendCopyField(QByteArray& Row, const char* Utf8, int Length, bool Last);
