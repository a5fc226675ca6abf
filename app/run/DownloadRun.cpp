#include "DownloadRun.h"

#include <exception>
#include <utility>

#include "Forwarding.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "OpenAndLock.h"
#include "ParallelRun.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "ReaderVisit.h"
#include "RunDisplay.h"
#include "RunJournal.h"

TDownloadRun::TDownloadRun(IRunDisplay& ADisplay, QString ADatabaseFile, TRunOptions AOptions)
    : Display(ADisplay), DatabaseFile(std::move(ADatabaseFile)), Options(std::move(AOptions)) {}

TExitStatus TDownloadRun::Run() {
  std::optional<TRunLock> runLock;
  // Before the reader, so that the reader goes before the database closes.
  TLogDatabase db;
  if (const auto refused = OpenAndLock(db, DatabaseFile, runLock)) return *refused;
  if (!VisitReaders(db)) return TExitStatus::StoreFailed;
  return Options.ForwardUrl.isEmpty() ? TExitStatus::Ok : ExitStatusOf(ForwardCollected(db, Options));
}

// False when logs.mdb failed to take what was collected.
bool TDownloadRun::VisitReaders(TLogDatabase& Db) {
  TRunJournal journal(Db);
  if (Options.Jobs > 1) {
    TParallelRun(Db, journal, Display, Options.Jobs).Run();
  } else {
    VisitOneByOne(Db, journal);
  }
  try {
    Db.Checkpoint();
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error, QStringLiteral("%1: what was stored stays in its log, which cannot be moved into the file: %2")
                                      .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
    return false;
  }
  return !journal.FileFailed();
}

// An error the run stops at leaves Run once the visit's row and line say so.
void TDownloadRun::VisitOneByOne(TLogDatabase& Db, TRunJournal& Journal) {
  TReader link;
  TPassObserver& observer = Display.SerialPass();
  TReaderPass pass(link, Db, observer);
  for (; !Db.ReadersAtEnd(); Db.NextReader()) {
    TVisit visit = RowVisit(Db);
    const qint64 id = Journal.VisitStarted(visit);
    TVisitEnd end;
    try {
      const TReaderRow row = Db.ReadReaderRow();
      observer.Reaching(row.Address);
      end = VisitReader(pass, link, row, visit, id);
    } catch (const EConvertError& Error) {
      end = {FailedVisit(visit, Error), RowStop(visit, Error)};
    }
    Journal.VisitEnded(id, end.Visit);
    if (end.Stop) std::rethrow_exception(end.Stop);
  }
}
