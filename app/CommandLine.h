#pragma once

#include <QString>
#include <QStringList>

#include "RunOptions.h"

// What the command line asks for. Without arguments: one run, exactly as ever.
struct TCommandLine {
  enum class TAction { Run, Check, Exit } Action = TAction::Run;
  int CheckHours = 24;
  TRunOptions Run;
  int ExitCode = 0;   // with Exit
  QString Output;     // with Exit: the text to print (help, version, or one line of error)
  bool OutputIsError = false;
};

// What the environment may say instead of an option: QUILLMERE_JOBS, QUILLMERE_FORWARD, and the
// host name, the default site. Options win.
struct TEnvironmentDefaults {
  QString Jobs;
  QString Forward;
  QString HostName;
};

// Parses the arguments (the program name first). A bad option or value gives Exit with code 2
// and a one-line error that carries the usage.
TCommandLine ParseCommandLine(const QStringList& Arguments, const TEnvironmentDefaults& Environment = {});
