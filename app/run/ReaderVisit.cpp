#include "ReaderVisit.h"

#include "Clock.h"
#include "Errors.h"
#include "ReaderPass.h"
#include "RunJournal.h"
#include "ValueConversion.h"

namespace {

TVisit Ended(TVisit Visit, TVisitOutcome Outcome, const QString& Detail) {
  Visit.Outcome = Outcome;
  Visit.Detail = Detail;
  return Visit;
}

bool IsBadRow(const std::exception& Error) {
  return dynamic_cast<const EConvertError*>(&Error) != nullptr;
}

// A pass that failed to store leaves its reader locked and uncleared, as a run always has: the
// records stay on the reader, which holds still for the next run. A watch's reader is a door it
// serves for the watch's life, and a locked reader takes no card until the lock runs out: the
// watch unlocks it, and tries the pass again within the minute.
bool UnlocksAfterFailedStore(TVisitor By) {
  return By == TVisitor::Watch;
}

}  // namespace

QString RowAndColumn(const TVisit& Visit, const EConvertError& Error) {
  const auto* cell = dynamic_cast<const EColumnError*>(&Error);
  // The one value a visit converts beyond the row's own cells is the port.
  return CellName(Visit.Row, cell != nullptr ? cell->Column : QStringLiteral("ipport"));
}

TVisit FailedVisit(TVisit Visit, const std::exception& Error) {
  QString detail = QString::fromLocal8Bit(Error.what());
  if (!IsBadRow(Error)) return Ended(std::move(Visit), TVisitOutcome::StoreFailed, detail);
  detail += QStringLiteral(" (%1)").arg(RowAndColumn(Visit, dynamic_cast<const EConvertError&>(Error)));
  return Ended(std::move(Visit), TVisitOutcome::BadRow, detail);
}

namespace {

// The box keeps the conversion's own text first.
std::exception_ptr StopAt(const QString& Conversion, const QString& Cell) {
  return std::make_exception_ptr(
      EConvertError(QStringLiteral("%1\n\n%2: the run stopped there; the rows after it were not visited.").arg(Conversion, Cell).toStdString()));
}

}  // namespace

std::exception_ptr RowStop(const TVisit& Visit, const EConvertError& Error) {
  return StopAt(QString::fromLocal8Bit(Error.what()), RowAndColumn(Visit, Error));
}

std::exception_ptr RowStop(const TReaderEntry& Entry) {
  return StopAt(Entry.Conversion, CellName(Entry.Number, Entry.Column));
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
      return {Ended(Visit, TVisitOutcome::Unreachable, Link.ConnectFailure()), {}};
    }
    Pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter}, JournalId);
    end.Visit = Pass.VisitOf(Visit);
  } catch (const EConvertError& Error) {
    end = {FailedVisit(Visit, Error), RowStop(Visit, Error)};
  } catch (const std::exception& Error) {
    end = {FailedVisit(Visit, Error), std::current_exception()};
  }
  if (end.Visit.Outcome == TVisitOutcome::StoreFailed && UnlocksAfterFailedStore(By)) (void)Link.Lock(false);
  end.Visit.Started = Visit.Started;
  end.Visit.Ended = Now();
  return end;
}
