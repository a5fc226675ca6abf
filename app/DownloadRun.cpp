#include "DownloadRun.h"

#include <QWidget>

#include <exception>
#include <memory>
#include <utility>

#include "Forwarding.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "ParallelRun.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "RunJournal.h"
#include "RunLock.h"
#include "StatusLine.h"

namespace {

// An exception ends the run (a row that cannot be read, a database that fails under the pass);
// the visit's row and line say so before it goes on.
void ProcessReaderRow(const TLogDatabase& Db, TReaderPass& Pass, TReader& Reader, IStatusLine& Status,
                      TRunJournal& Journal) {
  TVisit visit = RowVisit(Db);
  const qint64 id = Journal.VisitStarted(visit);
  try {
    const TReaderRow row = Db.ReadReaderRow();
    Status.SetStatusText(row.Address);
    Pass.ConfigureReader(row.Address, row.Port);
    if (!Reader.Enable) {
      Journal.VisitEnded(id, UnreachableVisit(Reader, visit));
      return;
    }
    Pass.ReaderPass({row.SetClock, row.Download, row.ClearAfter});
    Journal.VisitEnded(id, Pass.VisitOf(visit));
  } catch (const std::exception& Error) {
    visit = FailedVisit(visit, Error);
    Journal.VisitEnded(id, visit);
    throw;
  }
}

}  // namespace

TDownloadRun::TDownloadRun(QWidget& Owner, IStatusLine& Status, QString ApplicationDirectory, TRunOptions Options)
    : Owner(Owner), Status(Status), ApplicationDirectory(std::move(ApplicationDirectory)), Options(std::move(Options)) {}

void TDownloadRun::Run() {
  // Declared first so it is released last: the reader goes before the database closes.
  TLogDatabase db;
  if (!db.OpenDatabase(ApplicationDirectory)) {
    JournalLine(TPriority::Error, QStringLiteral("%1: %2; no reader contacted").arg(db.DatabasePath(), db.OpenFailure()));
    return;
  }
  // Two runs on one logs.mdb would interleave on a reader and race on the duplicate test.
  const QString lockPath = db.DatabasePath() + QStringLiteral(".lock");
  const TRunLock runLock(lockPath);
  if (!runLock.Held()) {
    JournalLine(TPriority::Warning, QStringLiteral("another run holds %1; no reader contacted").arg(lockPath));
    return;
  }
  VisitReaders(db);
  if (!Options.ForwardUrl.isEmpty()) ForwardCollected(db, Options);
}

void TDownloadRun::VisitReaders(TLogDatabase& Db) {
  TRunJournal journal(Db);
  if (Options.Jobs > 1) {
    TParallelRun(Db, journal, Owner, Options.Jobs).Run();
    return;
  }
  const auto reader = std::make_unique<TReader>(&Owner);
  TReaderPass pass(*reader, Db, Status, &Owner);
  for (; !Db.ReadersAtEnd(); Db.NextReader()) ProcessReaderRow(Db, pass, *reader, Status, journal);
}
