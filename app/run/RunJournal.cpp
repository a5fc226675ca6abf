#include "RunJournal.h"

#include <algorithm>

#include "Errors.h"
#include "Journal.h"
#include "LogDatabase.h"

namespace {

// A done visit that could not read or clear all its reader holds needs a look all the same.
TPriority PriorityOf(const TVisit& Visit) {
  const bool leftBehind = Visit.Outcome == TVisitOutcome::Done && (Visit.ClearSkipped || Visit.ReadShort);
  return leftBehind ? TPriority::Warning : MeaningOf(Visit.Outcome).Priority;
}

}  // namespace

TRunJournal::TRunJournal(const TLogDatabase& Db, bool KeepBack)
    : DatabasePath(Db.DatabasePath()), ConnectionName(Db.Connection()), Watching(KeepBack) {
  try {
    OpenVisits();
  } catch (const EDatabaseError& Error) {
    if (!KeepBack) StopWriting(TPriority::Error, QString::fromLocal8Bit(Error.what()));
  }
  JournalLine(TPriority::Info, QStringLiteral("run started on %1").arg(DatabasePath));
}

void TRunJournal::OpenVisits() {
  const QList<TVisit> interrupted = Visits.Open(ConnectionName);
  Opened = true;
  if (!Visits.Available()) StopWriting(TPriority::Warning, Visits.Foreign());
  for (const TVisit& visit : interrupted) Line(visit);
}

// A watch visits its readers again and again: its count is of visits, not readers, and a
// reader it never reached, or lost at the end, is one visit not done.
TRunJournal::~TRunJournal() {
  const int down = static_cast<int>(OpenOutages.size()) + Unreached;
  const QString downText = down > 0 ? QStringLiteral(" (%1 of them readers down at the end)").arg(down) : QString();
  JournalLine(Stopped ? TPriority::Warning : TPriority::Info,
              QStringLiteral("run %1: %2 %3, %4 done, %5 not%6; %7 records added")
                  .arg(Stopped ? QStringLiteral("stopped by a signal") : QStringLiteral("ended"))
                  .arg(VisitCount + down)
                  .arg(Watching ? QStringLiteral("visits") : QStringLiteral("readers visited"))
                  .arg(DoneCount)
                  .arg(VisitCount - DoneCount + down)
                  .arg(downText)
                  .arg(AddedCount));
}

qint64 TRunJournal::VisitStarted(const TVisit& Visit) {
  qint64 id = -1;
  Write(Visit, [&] { id = Visits.Start(Visit); });
  return id;
}

// Before the journal opens, a running row would be taken for a killed run's and marked
// interrupted by the open.
qint64 TRunJournal::VisitStartedIn(TLogDatabase& Store, const TVisit& Visit) const {
  if (!Opened || !Writing) return -1;
  try {
    TWriteTransaction transaction(Store);
    const qint64 id = transaction.StartVisit(Visit);
    transaction.Commit();
    return id;
  } catch (const EDatabaseError&) {
    return -1;
  }
}

void TRunJournal::VisitWhole(const TVisit& Visit, qint64 Id) {
  Count(Visit);
  KeptBack.push_back({Id, Visit, {}});
  WriteKeptBack();
  Line(Visit);
}

void TRunJournal::RowOnly(const TVisit& Visit, qint64 Id) {
  KeptBack.push_back({Id, Visit, {}});
  WriteKeptBack();
}

void TRunJournal::LineDown(const TVisit& Visit) {
  const QString reader = Visit.Address + ':' + Visit.Port;
  const auto open = OpenOutages.find(reader);
  if (open == OpenOutages.end()) {
    OpenOutages[reader] = -1;
    KeptBack.push_back({-1, Visit, reader});
  } else if (open->second < 0) {  // its row is still kept back: it is written ended
    for (TKeptBack& row : KeptBack) {
      if (row.Outage == reader) row = {row.Id, Visit, {}};
    }
    OpenOutages.erase(open);
  } else {
    KeptBack.push_back({open->second, Visit, {}});
    OpenOutages.erase(open);
  }
  WriteKeptBack();
}

void TRunJournal::WriteKeptBack() {
  while (Writing && !KeptBack.empty()) {
    TKeptBack& row = KeptBack.front();
    try {
      if (!Opened) OpenVisits();
      if (!Writing) break;
      if (row.Id < 0) row.Id = Visits.Start(row.Visit);
      if (!row.Outage.isEmpty()) OpenOutages[row.Outage] = row.Id;
      Visits.Finish(row.Id, row.Visit);
    } catch (const EDatabaseError& Error) {
      if (!KeepingBack) {
        JournalLine(TPriority::Warning, QStringLiteral("visit rows are kept back: %1 cannot take them now (%2); tried again")
                                            .arg(DatabasePath, QString::fromLocal8Bit(Error.what())));
      }
      KeepingBack = true;
      return;
    }
    KeptBack.pop_front();
  }
  if (!Writing) KeptBack.clear();  // a table of another shape: the site's choice, said once
  if (KeepingBack) JournalLine(TPriority::Info, QStringLiteral("the visit rows kept back are written to %1").arg(DatabasePath));
  KeepingBack = false;
}

void TRunJournal::GiveUpKeptBack() {
  if (KeptBack.empty()) return;
  DiskFailed = true;
  JournalLine(TPriority::Error, QStringLiteral("%1 visit rows were not written: %2 could not take them before the end")
                                    .arg(KeptBack.size())
                                    .arg(DatabasePath));
  KeptBack.clear();
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

void TRunJournal::Count(const TVisit& Visit) {
  ++VisitCount;
  if (Visit.Outcome == TVisitOutcome::Done) ++DoneCount;
  AddedCount += Visit.Added;
  LiveCount += Visit.Live;
}

void TRunJournal::LiveEventsStored(int Stored) {
  AddedCount += std::max(Stored - LiveCount, 0);
  LiveCount = std::max(Stored, LiveCount);
}

void TRunJournal::VisitEnded(qint64 Id, const TVisit& Visit) {
  Count(Visit);
  if (MeaningOf(Visit.Outcome).DiskFailed) DiskFailed = true;
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
