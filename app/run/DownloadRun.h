#pragma once

#include <QString>

#include "ExitStatus.h"
#include "RunOptions.h"

class IRunDisplay;
class TLogDatabase;
class TRunJournal;

// One run over the table readers: every row gets its visit, one after another, or up to Jobs
// side by side, then what was collected is forwarded when asked. A logs.mdb that cannot be
// opened or a refused forward ends it with its own status; an exception (a value that cannot be
// converted, a port text that is no number) ends it after everything is released.
class TDownloadRun {
 public:
  TDownloadRun(IRunDisplay& Display, QString DatabaseFile, TRunOptions Options = {});

  TExitStatus Run();

 private:
  bool VisitReaders(TLogDatabase& Db);
  void VisitOneByOne(TLogDatabase& Db, TRunJournal& Journal);

  IRunDisplay& Display;
  QString DatabaseFile;
  TRunOptions Options;
};
