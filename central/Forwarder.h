#pragma once

#include <QString>

#include <functional>

// What one forwarding did.
struct TForwardResult {
  bool Ok = false;
  bool Refused = false;  // the server refused us (password, database, a table of another shape)
  int Records = 0;       // records sent (the server keeps each once, whatever it held)
  int Visits = 0;
  QString Target;        // host:port/dbname
  QString Error;
};

// Sends the server every record and visit of logs.mdb it has not acknowledged yet, in batches,
// each one transaction there. What was acknowledged is noted in logs.mdb (table forwarding) only
// after the server's commit: a crash, a kill or a lost link means the next run sends again
// from there, and the server's unique keys make the resend harmless.
class TForwarder {
 public:
  TForwarder(QString LocalConnection, QString Url, QString Site, int BatchRows = DefaultBatchRows);
  TForwardResult Run();

  // Called with the batch's number (from 1) after its rows reached the server and before its
  // commit: where a lost server hurts most, so tests stop theirs here.
  std::function<void(int)> BeforeCommit;

  static constexpr int DefaultBatchRows = 20000;
  static constexpr int ConnectTimeoutSeconds = 5;
  static constexpr int StatementTimeoutMs = 60000;

 private:
  QString LocalConnection;
  QString Url;
  QString Site;
  int BatchRows;
};
