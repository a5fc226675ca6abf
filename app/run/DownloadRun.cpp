#include "DownloadRun.h"


#include <exception>
#include <utility>

#include "AccessRefusal.h"
#include "Forwarding.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "MessageBox.h"
#include "ParallelRun.h"
#include "ReaderLink.h"
#include "ReaderPass.h"
#include "ReaderVisit.h"
#include "RunDisplay.h"
#include "RunJournal.h"
#include "RunLock.h"

namespace {

TExitStatus StatusOf(TOpenFailure Failure) {
  switch (Failure) {
    case TOpenFailure::Missing: return TExitStatus::DatabaseMissing;
    case TOpenFailure::Unwritable: return TExitStatus::DatabaseUnwritable;
    case TOpenFailure::Unusable: return TExitStatus::DatabaseUnusable;
  }
  return TExitStatus::DatabaseUnusable;
}

// With a display, a person who started the program learns why nothing happened.
TExitStatus RefuseDatabase(const QString& File, const EDatabaseOpenError& Error) {
  const QString text = QStringLiteral("%1: %2; no reader contacted").arg(File, QString::fromLocal8Bit(Error.what()));
  JournalLine(TPriority::Error, text);
  if (MessagesAreInteractive()) ShowErrorMessage(text);
  return StatusOf(Error.Kind);
}

}  // namespace

// Two runs on one logs.mdb would interleave on a reader and race on the duplicate test. The lock
// comes before the open, and the caller keeps it past the close: letting it go drops the
// process's locks on the file, SQLite's included.
std::optional<TExitStatus> OpenAndLock(TLogDatabase& Db, const QString& File, std::optional<TRunLock>& Lock) {
  Lock.emplace(File);
  if (!Lock->Held() && Lock->Failure().isEmpty()) {
    JournalLine(TPriority::Warning, QStringLiteral("another run holds %1; no reader contacted").arg(File));
    return TExitStatus::Ok;
  }
  try {
    Db.OpenDatabase(File);
  } catch (const EDatabaseOpenError& Error) {
    return RefuseDatabase(File, Error);
  }
  if (Lock->Held()) return std::nullopt;
  const QString refusal = AccessRefusal(File, TAccessNeed::Read);
  const QString why = refusal.isEmpty() ? QStringLiteral("cannot be locked: ") + Lock->Failure() : refusal;
  JournalLine(TPriority::Error, QStringLiteral("%1: %2; no reader contacted").arg(File, why));
  return TExitStatus::DatabaseUnwritable;
}

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
  TReaderLink link;
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
