#include "ServerError.h"

#include <QStringList>

#include <utility>

EServerError::EServerError(TServerFailure Failure, const QString& Message, QString SqlState, QString Constraint)
    : std::runtime_error(Message.toStdString()), Kind(Failure), State(std::move(SqlState)), Named(std::move(Constraint)) {}

TServerFailure FailureOfSqlState(const QString& SqlState) {
  // Classes: 08 connection, 40 rollback (deadlock, serialization), 53 resources, 55 lock not
  // available, 57 operator (shutdown, cancel, statement_timeout), 58 system, XX internal.
  static const QStringList Passing = {"08", "40", "53", "55", "57", "58", "XX"};
  // Classes: 22 data exception, 23 integrity constraint (NOT NULL, CHECK, no partition).
  static const QStringList Values = {"22", "23"};
  const QString sqlClass = SqlState.left(2);
  if (Passing.contains(sqlClass)) return TServerFailure::Outage;
  if (Values.contains(sqlClass)) return TServerFailure::RowRejected;
  return TServerFailure::NeedsPerson;
}
