#pragma once

#include <QString>

#include "RunOptions.h"

class IStatusLine;
class QWidget;

// One run over the table readers: every row gets its pass, one after another, or up to Jobs
// side by side, then what was collected is forwarded when asked; an exception (a value that
// cannot be converted, a port text that is no number) ends the run after everything is released.
class TDownloadRun {
 public:
  TDownloadRun(QWidget& Owner, IStatusLine& Status, QString DatabasePath, TRunOptions Options = {});

  void Run();

 private:
  void VisitReaders(class TLogDatabase& Db);
  QWidget& Owner;
  IStatusLine& Status;
  QString DatabasePath;
  TRunOptions Options;
};
