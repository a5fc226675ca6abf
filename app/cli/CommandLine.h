#pragma once

#include <QString>
#include <QStringList>

#include "HealthReport.h"
#include "RunOptions.h"
#include "SiteCommand.h"

// What the command line asks for. Without arguments: one run, exactly as ever.
struct TCommandLine {
  enum class TAction { Run, Watch, Check, Init, Site, Exit } Action = TAction::Run;
  QString DatabasePath;  // logs.mdb, for every action
  int CheckHours = 24;
  TCheckThresholds CheckThresholds;
  TRunOptions Run;
  TSiteCommand Site;  // with Site
  int ExitCode = 0;   // with Exit
  QString Output;     // with Exit: the text to print (help, version, or one line of error)
  bool OutputIsError = false;
  QString MonitorLine;  // with Exit after a usage error of --check: the status line a monitor reads
};

// What the environment may say instead of an option: QUILLMERE_JOBS, QUILLMERE_FORWARD,
// QUILLMERE_DATABASE, and the host name, the default site. Options win. Where logs.mdb is when
// nothing names it: in DataFolder when the build has one (the package's), else in ProgramFolder.
struct TEnvironmentDefaults {
  QString Jobs;
  QString Forward;
  QString Database;
  QString HostName;
  QString DataFolder;
  QString ProgramFolder;
};

// Parses the arguments (the program name first). A bad option or value gives Exit with a
// one-line error that points to --help: code 2, or 3 (UNKNOWN to a monitor) with --check.
TCommandLine ParseCommandLine(const QStringList& Arguments, const TEnvironmentDefaults& Environment = {});

// The absolute path of logs.mdb: Option, else the environment's, else the default folder's.
QString DatabaseFile(const QString& Option, const TEnvironmentDefaults& Environment);
