#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <libpq-fe.h>

#include <chrono>
#include <memory>
#include <utility>

#include "ServerError.h"

// A connection URL taken apart by libpq, without connecting. A URL that does not parse raises
// EServerError (NeedsPerson) without repeating libpq's words: they quote the URL, password and all.
class TServerAddress {
 public:
  explicit TServerAddress(const QString& Url);

  // host:port/dbname for messages and for naming the target in logs.mdb: never the user or password.
  QString Target() const;
  // Keyword and value pairs, the URL's own first.
  const QList<std::pair<QByteArray, QByteArray>>& Options() const { return Pairs; }
  QByteArray Option(const char* Keyword) const;
  void Set(const char* Keyword, const QByteArray& Value);

 private:
  QList<std::pair<QByteArray, QByteArray>> Pairs;
};

// A connection to a PostgreSQL server through libpq's asynchronous calls, so that every wait
// has a deadline of ours, whatever the URL and the server say: a server that answers nothing
// (a frozen backend, hung storage, a frozen server whole) is dropped when the deadline passes. Every
// failure raises EServerError through one helper; the connection is closed with the object.
class TPgConnection {
 public:
  // Passwords come from the URL, ~/.pgpass, PGPASSFILE or PGPASSWORD, never from here. StopFd,
  // when not -1, ends every wait once it is readable, as TServerFailure::Stopped.
  TPgConnection(const TServerAddress& Address, std::chrono::milliseconds ConnectTimeout, std::chrono::milliseconds CallTimeout,
                int StopFd = -1);
  ~TPgConnection();
  TPgConnection(const TPgConnection&) = delete;
  TPgConnection& operator=(const TPgConnection&) = delete;

  // False once the server has spoken, and so most likely closed the link, while it sat idle;
  // waits for nothing.
  bool StillOpen();

  void Exec(const QString& Sql, const QStringList& Params = {});
  // The first column of each row of Sql's result.
  QStringList Column(const QString& Sql, const QStringList& Params = {});
  // COPY ... FROM STDIN with Data (rows in COPY's text format), sent in chunks; the number of
  // rows the server says it took.
  qint64 Copy(const QString& Sql, const QByteArray& Data);
  // The same in steps, for rows that are still being read: the server takes each piece while
  // the next is read. A refused row is only told by FinishCopy. BeginFirst: a transaction
  // begins with the COPY, in the same round trip.
  void StartCopy(const QString& Sql, bool BeginFirst = false);
  void PutCopy(const char* Data, qsizetype Bytes);
  qint64 FinishCopy();

  // Whether the server keeps timestamps as 64-bit microseconds, which COPY's binary format then
  // carries (every server since 10 does; older ones may keep them as floating point).
  bool IntegerTimes() const;

  static constexpr qsizetype CopyChunkBytes = 1 << 20;

 private:
  using TResult = std::unique_ptr<PGresult, decltype(&PQclear)>;
  struct TDeadline {
    std::chrono::steady_clock::time_point At;
    std::chrono::milliseconds Allowed;
  };
  static TDeadline After(std::chrono::milliseconds Allowed);

  void PinAddresses(TServerAddress& Address, TDeadline Deadline) const;
  void AwaitConnection(TDeadline Deadline);
  [[noreturn]] void FailToConnect();
  TResult Call(const QString& Sql, const QStringList& Params, ExecStatusType Expected, TDeadline Deadline);
  void Send(const QString& Sql, const QStringList& Params);
  void PutCopyData(const char* Data, int Bytes);
  void EndCopy(TDeadline Deadline);
  void Flush(TDeadline Deadline);
  TResult NextResult(TDeadline Deadline);
  short AwaitSocket(short Events, TDeadline Deadline);
  void Check(const TResult& Result, ExecStatusType Expected);
  [[noreturn]] void Fail(TServerFailure Failure, const QString& Message, const QString& SqlState = {},
                         const QString& Constraint = {});
  [[noreturn]] void FailOnLink();
  [[noreturn]] void GiveUp(TDeadline Deadline);
  static void Notice(void* Self, const char* Message);

  std::unique_ptr<PGconn, decltype(&PQfinish)> Connection{nullptr, &PQfinish};
  std::chrono::milliseconds CallLimit;
  int Stop;
  bool ServerAnswered = false;  // a byte came back: a failure from then on is the server's word
  QString Target;
  QByteArray Password;  // the URL's, kept out of what the server's notices say
};

// A field in COPY's text format: tabs, line breaks and backslashes escaped; a null Utf8 is \N.
void AppendCopyField(QByteArray& Row, const char* Utf8, int Length, bool Last);
