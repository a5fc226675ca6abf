#include "RunJournal.h"

#include "Journal.h"
#include "LogDatabase.h"

namespace {

TPriority PriorityOf(const TVisit& Visit) {
  switch (Visit.Outcome) {
    case TVisitOutcome::Done: return Visit.ClearSkipped ? TPriority::Warning : TPriority::Info;
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
  const QList<TVisit> interrupted = Visits.Open(Db.Connection());
  if (!Visits.Available()) ReportUnavailable();
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
  const qint64 id = Visits.Start(Visit);
  if (id < 0) ReportUnavailable();
  return id;
}

void TRunJournal::VisitEnded(qint64 Id, const TVisit& Visit) {
  ++VisitCount;
  if (Visit.Outcome == TVisitOutcome::Done) ++DoneCount;
  AddedCount += Visit.Added;
  if (Id >= 0 && !Visits.Finish(Id, Visit)) ReportUnavailable();
  Line(Visit);
}

void TRunJournal::ReportUnavailable() {
  if (UnavailableReported) return;
  UnavailableReported = true;
  JournalLine(TPriority::Warning, QStringLiteral("the visit journal in %1 cannot be written (%2); collecting without it")
                                      .arg(DatabasePath, Visits.Failure()));
}

void TRunJournal::Line(const TVisit& Visit) const {
  JournalLine(PriorityOf(Visit), QStringLiteral("%1:%2 %3: %4").arg(Visit.Address, Visit.Port, OutcomeText(Visit.Outcome), Visit.Detail));
}
