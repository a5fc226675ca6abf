#include "DownloadRun.h"

#include <QWidget>

#include <memory>
#include <utility>

#include "Journal.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "RunLock.h"
#include "StatusLine.h"

namespace {

void ProcessReaderRow(const TLogDatabase& Db, TReaderPass& Pass, TReader& Reader, IStatusLine& Status) {
  const TReaderRow row = Db.ReadReaderRow();
  Status.SetStatusText(row.Address);
  Pass.ConfigureReader(row.Address, row.Port);
  if (Reader.Enable) Pass.ReaderPass({row.SetClock, row.Download, row.ClearAfter});
}

}  // namespace

TDownloadRun::TDownloadRun(QWidget& Owner, IStatusLine& Status, QString ApplicationDirectory)
    : Owner(Owner), Status(Status), ApplicationDirectory(std::move(ApplicationDirectory)) {}

void TDownloadRun::Run() {
  // Declared first so it is released last: the reader goes before the database closes.
  TLogDatabase db;
  if (!db.OpenDatabase(ApplicationDirectory)) {
    JournalLine(TPriority::Error, QStringLiteral("%1: %2; no reader contacted").arg(db.DatabasePath(), db.OpenFailure()));
    return;
  }
  // Two runs on one logs.mdb would interleave on a reader and race on the duplicate test.
  const TRunLock runLock(db.DatabasePath() + QStringLiteral(".lock"));
  if (!runLock.Held()) return;
  const auto reader = std::make_unique<TReader>(&Owner);
  TReaderPass pass(*reader, db, Status, &Owner);
  for (; !db.ReadersAtEnd(); db.NextReader()) ProcessReaderRow(db, pass, *reader, Status);
}
