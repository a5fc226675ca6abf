#pragma once

#include <QString>

class IStatusLine;
class QWidget;

// One run over the table readers: every row gets its pass, one after another, or up to Jobs
// side by side; an exception (a value that cannot be converted, a port text that is no number)
// ends the run after everything is released.
class TDownloadRun {
 public:
  TDownloadRun(QWidget& Owner, IStatusLine& Status, QString ApplicationDirectory, int Jobs = 1);

  void Run();

 private:
  QWidget& Owner;
  IStatusLine& Status;
  QString ApplicationDirectory;
  int Jobs;
};
