#pragma once

#include <QString>

#include "ExitStatus.h"
#include "RunOptions.h"

class EDatabaseOpenError;
class IStatusLine;
class QWidget;
class TLogDatabase;
class TRunJournal;

// One run over the table readers: every row gets its visit, one after another, or up to Jobs
// side by side, then what was collected is forwarded when asked. A logs.mdb that cannot be
// opened or a refused forward ends it with its own status; an exception (a value that cannot be
// converted, a port text that is no number) ends it after everything is released.
// A logs.mdb that cannot be opened: a <3> line, a box with a display, and the exit status.
TExitStatus RefuseDatabase(const QString& File, const EDatabaseOpenError& Error);

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
