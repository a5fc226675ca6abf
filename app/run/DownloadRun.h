#pragma once

#include <QString>

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "ExitStatus.h"
#include "LogDatabase.h"
#include "OpenAndLock.h"
#include "ReadersTable.h"
#include "RunLock.h"
#include "RunOptions.h"
#include "StopToken.h"

class IRunDisplay;
class TRunForwarding;
class TRunJournal;

// One run over the table readers: every row gets its visit, one after another, or up to Jobs
// side by side, and what logs.mdb holds is forwarded when asked. A logs.mdb that cannot be
// opened or a refused forward ends it with its own status; an exception (a value that cannot be
// converted, a port text that is no number) ends it after everything is released. SIGTERM or
// SIGINT ends each visit under way at its next step, interrupted, and no row after it is visited.
class TDownloadRun {
 public:
  // A run that forwards takes logs.mdb here and starts sending what it holds, while its window
  // paints; any other run touches nothing before Run.
  TDownloadRun(IRunDisplay& Display, QString DatabaseFile, TRunOptions Options = {});
  ~TDownloadRun();
  TDownloadRun(const TDownloadRun&) = delete;
  TDownloadRun& operator=(const TDownloadRun&) = delete;

  TExitStatus Run();

 private:
  TExitStatus VisitReaders(const std::vector<TReaderEntry>& Readers);
  // StopFd ends a connect that waits when a stop signal comes.
  void VisitOneByOne(const std::vector<TReaderEntry>& Readers, TRunJournal& Journal, const TStopToken& Stop, int StopFd);

  IRunDisplay& Display;
  QString DatabaseFile;
  TRunOptions Options;
  // Declared in the order they must be let go in reverse: the forward's own connection to the
  // file closes before the run's, and both before the lock.
  std::optional<TRunLock> Lock;
  TLogDatabase Db;
  std::exception_ptr StartFailure;
  std::optional<TRefusal> Refused;
  std::unique_ptr<TRunForwarding> Forwarding;
};
