#include "ReaderVisit.h"

#include "Clock.h"
#include "Errors.h"
#include "ReaderPass.h"
#include "RunJournal.h"

namespace {

TVisit Ended(TVisit Visit, TVisitOutcome Outcome, const QString& Detail) {
  Visit.Outcome = Outcome;
  Visit.Detail = Detail;
  return Visit;
}

// A pass that failed to store leaves its reader locked and uncleared, as a run always has: the
// records stay on the reader, which holds still for the next run. A watch's reader is a door it
// serves for the watch's life, and a locked reader takes no card until the lock runs out: the
// watch unlocks it, and tries the pass again within the minute.
bool UnlocksAfterFailedStore(TVisitor By) {
  return By == TVisitor::Watch;
}

}  // namespace

// The box keeps the conversion's own text first.
std::exception_ptr RowStop(const TReaderEntry& Entry) {
  return std::make_exception_ptr(EConvertError(QStringLiteral("%1\n\n%2: the run stopped there; the rows after it were not visited.")
                                                   .arg(Entry.Conversion, CellName(Entry.Number, Entry.Column))
                                                   .toStdString()));
}

TVisit EntryVisit(const TReaderEntry& Entry) {
  TVisit visit;
  visit.Address = Entry.Address;
  visit.Port = Entry.Port;
  visit.Row = Entry.Number;
  return visit;
}

TVisit RefusedVisit(const TReaderEntry& Entry) {
  return Ended(EntryVisit(Entry), TVisitOutcome::BadRow, Entry.Reason);
}

TVisitEnd VisitReader(TReaderPass& Pass, TReader& Link, const TReaderRow& Row, const TVisit& Visit, qint64 JournalId, TVisitor By) {
  TVisitEnd end;
  try {
    if (By == TVisitor::Run && !Pass.ConfigureReader(Row.Address, Row.Port)) {
      if (const TStopToken& stop = Pass.StopToken(); stop.Given()) return {Ended(Visit, TVisitOutcome::Interrupted, stop.Why()), {}};
      return {Ended(Visit, TVisitOutcome::Unreachable, Link.ConnectFailure()), {}};
    }
    Pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter}, JournalId);
    end.Visit = Pass.VisitOf(Visit);
  } catch (const std::exception& Error) {
    // The database failing: the run stops once the visit's row says so.
    end = {Ended(Visit, TVisitOutcome::StoreFailed, QString::fromLocal8Bit(Error.what())), std::current_exception()};
  }
  if (end.Visit.Outcome == TVisitOutcome::StoreFailed && UnlocksAfterFailedStore(By)) (void)Link.Lock(false);
  end.Visit.Started = Visit.Started;
  end.Visit.Ended = Now();
  return end;
}
