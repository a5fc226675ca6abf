#include "RunJournal.h"

#include "Errors.h"
#include "Journal.h"
#include "LogDatabase.h"

namespace {

TPriority PriorityOf(const TVisit& Visit) {
  switch (Visit.Outcome) {
    case TVisitOutcome::Done: return Visit.ClearSkipped || Visit.ReadShort ? TPriority::Warning : TPriority::Info;
    case TVisitOutcome::StoreFailed:
    case TVisitOutcome::BadRow: return TPriority::Error;
    default: return TPriority::Warning;
  }
}

const QString AddressColumn = QStringLiteral("ipaddr");
const QString PortColumn = QStringLiteral("ipport");

}  // namespace

TVisit RowVisit(const TLogDatabase& Db) {
  TVisit visit;
  visit.Address = Db.ReaderText(AddressColumn);
  visit.Port = Db.ReaderText(PortColumn);
  return visit;
}

TVisit RowVisit(const TLogDatabase& Db, std::size_t Row) {
  TVisit visit;
  visit.Address = Db.ReaderText(Row, AddressColumn);
  visit.Port = Db.ReaderText(Row, PortColumn);
  return visit;
}

TRunJournal::TRunJournal(const TLogDatabase& Db) : DatabasePath(Db.DatabasePath()) {
  QList<TVisit> interrupted;
  try {
    interrupted = Visits.Open(Db.Connection());
    if (!Visits.Available()) StopWriting(TPriority::Warning, Visits.Foreign());
  } catch (const EDatabaseError& Error) {
    StopWriting(TPriority::Error, QString::fromLocal8Bit(Error.what()));
  }
  for (const TVisit& visit : interrupted) Line(visit);
  JournalLine(TPriority::Info, QStringLiteral("run started on %1").arg(DatabasePath));
}

TRunJournal::~TRunJournal() {
  JournalLine(TPriority::Info, QStringLiteral("run ended: %1 readers visited, %2 done, %3 not; %4 records added")
                                   .arg(VisitCount)
                                   .arg(DoneCount)
                                   .arg(VisitCount - DoneCount)
                                   .arg(AddedCount));
}

qint64 TRunJournal::VisitStarted(const TVisit& Visit) {
  qint64 id = -1;
  Write(Visit, [&] { id = Visits.Start(Visit); });
  return id;
}

void TRunJournal::LineDown(const TVisit& Visit) {
  Write(Visit, [&] { Visits.Finish(Visits.Start(Visit), Visit); });
}

// A lock another program holds costs this row alone; a failing disk ends the writing.
void TRunJournal::Write(const TVisit& Visit, const std::function<void()>& Statements) {
  if (!Writing) return;
  try {
    Statements();
  } catch (const EDatabaseBusy& Error) {
    DiskFailed = true;
    JournalLine(TPriority::Error, QStringLiteral("the visit row of %1:%2 was not written to %3: %4")
                                      .arg(Visit.Address, Visit.Port, DatabasePath, QString::fromLocal8Bit(Error.what())));
  } catch (const EDatabaseError& Error) {
    StopWriting(TPriority::Error, QString::fromLocal8Bit(Error.what()));
  }
}

void TRunJournal::VisitEnded(qint64 Id, const TVisit& Visit) {
  ++VisitCount;
  if (Visit.Outcome == TVisitOutcome::Done) ++DoneCount;
  if (Visit.Outcome == TVisitOutcome::StoreFailed) DiskFailed = true;
  AddedCount += Visit.Added;
  if (Id >= 0) Write(Visit, [&] { Visits.Finish(Id, Visit); });
  Line(Visit);
}

// Collecting matters more than its journal: the run goes on without it, and says so once. A
// table of another shape is the site's choice; a failed write is the disk's, and needs a person.
void TRunJournal::StopWriting(TPriority Priority, const QString& Why) {
  Writing = false;
  DiskFailed |= Priority == TPriority::Error;
  JournalLine(Priority,
              QStringLiteral("the visit journal in %1 cannot be written (%2); collecting without it").arg(DatabasePath, Why));
}

void TRunJournal::Line(const TVisit& Visit) const {
  JournalLine(PriorityOf(Visit), QStringLiteral("%1:%2 %3: %4").arg(Visit.Address, Visit.Port, OutcomeText(Visit.Outcome), Visit.Detail));
}
