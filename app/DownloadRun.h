#pragma once

#include <QString>

#include <optional>

#include "ExitStatus.h"
#include "RunLock.h"
#include "RunOptions.h"

class EDatabaseOpenError;
class IStatusLine;
class QWidget;
class TLogDatabase;
class TRunJournal;

// A logs.mdb that cannot be opened: a <3> line, a box with a display, and the exit status.
TExitStatus RefuseDatabase(const QString& File, const EDatabaseOpenError& Error);
// Takes the lock that keeps one run (or watch) on Db at a time; empty when it is held, else how
// the start ends, its line written.
std::optional<TExitStatus> LockRun(const TLogDatabase& Db, std::optional<TRunLock>& Lock);

// One run over the table readers: every row gets its visit, one after another, or up to Jobs
// side by side, then what was collected is forwarded when asked. A logs.mdb that cannot be
// opened or a refused forward ends it with its own status; an exception (a value that cannot be
// converted, a port text that is no number) ends it after everything is released.
class TDownloadRun {
 public:
  TDownloadRun(QWidget& Owner, IStatusLine& Status, QString DatabaseFile, TRunOptions Options = {});

  TExitStatus Run();

 private:
  bool VisitReaders(TLogDatabase& Db);
  void VisitOneByOne(TLogDatabase& Db, TRunJournal& Journal);

  QWidget& Owner;
  IStatusLine& Status;
  QString DatabaseFile;
  TRunOptions Options;
};
