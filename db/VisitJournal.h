#pragma once

#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>

#include "DateTime.h"
#include "VisitOutcome.h"

struct sqlite3;

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
  bool ReadShort = false;     // the walk read fewer records than the reader reported
  QString Detail;             // one line for a person
  TDateTime Started = 0;      // when it happened; 0: as its row is written
  TDateTime Ended = 0;
  int Live = 0;               // of Added, the events a watch stored live since its previous visit
  std::size_t Row = 0;        // its readers row, from 1 in table order; 0: not known

  // A watch's live events count with the reader's next visit row, so that the check and the
  // run's totals know them; where the detail states the counts, it states them anew.
  void AddLiveEvents(int Events);
  // "12 added (2 of them live events), 3 duplicates, 0 invalid of 15 reported": the counts as
  // a done visit's line and row state them.
  QString CountsText() const;
};

// The table visits in logs.mdb: one row per readers row a run reaches, written when the visit
// starts and once more when it ends; its counts also move with each page stored. A table visits
// of another shape is a state, not an error: Available() is false and nothing is written. Every
// failed statement raises EDatabaseError.
class TVisitJournal {
 public:
  // Creates the table when missing and marks the visits a killed run left running as
  // interrupted; those are returned.
  QList<TVisit> Open(const QString& ConnectionName);
  bool Available() const { return ForeignShape.isEmpty(); }
  // Why a table visits that exists cannot be the journal.
  const QString& Foreign() const { return ForeignShape; }

  qint64 Start(const TVisit& Visit);  // the row's id
  void Finish(qint64 Id, const TVisit& Visit);

 private:
  QString ShapeRefusal() const;
  QList<TVisit> MarkInterrupted();

  QString Connection;
  QString ForeignShape;
};

// A visit's running row, on a connection's native handle, so that any thread may write it inside
// its turn at the store; the row's id. Raises EDatabaseError.
qint64 StartVisitRow(sqlite3* Db, const TVisit& Visit);

// The column names of visits, in order.
const QStringList& VisitColumns();
