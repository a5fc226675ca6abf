#pragma once

#include <QString>

#include <stdexcept>

// What a failed exchange with the central server asks of us.
enum class TServerFailure {
  Outage,       // passes by itself: the next run sends the same again
  NeedsPerson,  // a login, a right, a table, a setting: sending again changes nothing
  RowRejected,  // the server refused the values of a row we sent
  Stopped,      // we stopped waiting for our own reason: the server may have done what it was asked
};

// The one way a failure of the central server, or of its URL, leaves central/ (logs.mdb's own
// travel as EDatabaseError). The message is safe to show and to store: it never holds a
// password or a connection URL.
class EServerError : public std::runtime_error {
 public:
  EServerError(TServerFailure Failure, const QString& Message, QString SqlState = {}, QString Constraint = {});

  TServerFailure Failure() const { return Kind; }
  const QString& SqlState() const { return State; }
  // The constraint the server named, if any: a CHECK names one, a row with no partition none.
  const QString& Constraint() const { return Named; }
  QString Message() const { return QString::fromUtf8(what()); }

 private:
  TServerFailure Kind;
  QString State;
  QString Named;
};

// What the server means by an SQLSTATE: a passing state of the server or the link, values of a
// row it refuses, or (everything else) something only a person can change.
TServerFailure FailureOfSqlState(const QString& SqlState);
