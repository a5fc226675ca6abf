#pragma once

#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <optional>

enum class TVisitOutcome {
  Running,
  Done,
  Unreachable,
  NoResponse,
  LinkCheckFailed,
  ConnectionLost,
  StoreFailed,
  BadRow,
  Interrupted,
};

// The outcome as the column visits.outcome holds it: "done", "no_response", ...
QString OutcomeText(TVisitOutcome Outcome);

// What one visit of one readers row did.
struct TVisit {
  QString Address;
  QString Port;
  TVisitOutcome Outcome = TVisitOutcome::Running;
  std::optional<int> RecordsReported;
  int Added = 0;
  int Duplicates = 0;
  int Invalid = 0;
  bool ClockSet = false;
  bool Cleared = false;
  bool ClearSkipped = false;  // clear after was asked but not done
  QString Detail;             // one line for a person
};

// The table visits in logs.mdb: one row per readers row a run reaches, written when the visit
// starts and once more when it ends, never per record. A file where the table cannot be made
// or has another shape still collects: Available() is false and nothing is written.
class TVisitJournal {
 public:
  // Creates the table when missing and marks the visits a killed run left running as
  // interrupted; those are returned. On failure Available() is false and Failure() says why.
  QList<TVisit> Open(const QString& ConnectionName);
  bool Available() const { return Ready; }
  const QString& Failure() const { return Reason; }

  // The row's id, or -1 (with Failure() set) when it could not be written.
  qint64 Start(const TVisit& Visit);
  // False (with Failure() set) when the row could not be written.
  bool Finish(qint64 Id, const TVisit& Visit);

 private:
  bool Refuse(const QString& Why);
  bool HasExpectedShape();
  QList<TVisit> MarkInterrupted();

  QString Connection;
  bool Ready = false;
  QString Reason;
};

// The column names of visits, in order.
const QStringList& VisitColumns();
