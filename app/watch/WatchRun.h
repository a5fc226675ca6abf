#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

#include "ExitStatus.h"
#include "RunOptions.h"
#include "WatchLine.h"

class TRunJournal;

// quillmere --watch: one process that keeps a line open to every reader of the table readers,
// all of them in one loop, holding the run lock for its whole life. It refuses to start when the
// readers need more open files than it may have. It ends on SIGTERM or SIGINT: every line stops,
// every event received is already committed, every line is closed, and each pass's visit row is
// written before the lock goes.
class TWatchRun {
 public:
  TWatchRun(QString DatabaseFile, TRunOptions Options, TWatchTimings Timings = {});
  TWatchRun(const TWatchRun&) = delete;
  TWatchRun& operator=(const TWatchRun&) = delete;

  // Runs the calling thread's event loop until a stop signal.
  TExitStatus Run();

 private:
  TExitStatus Watch(TLogDatabase& Db, const std::vector<QSqlRecord>& Readers, class QEventLoop& Loop);

  QString DatabaseFile;
  TRunOptions Options;
  TWatchTimings Timings;
};
