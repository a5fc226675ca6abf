#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for. Without arguments: one run, exactly as ever.
struct TCommandLine {
  enum class TAction { Run, Check, Exit } Action = TAction::Run;
  int CheckHours = 24;
  int Jobs = 1;       // readers visited side by side
  int ExitCode = 0;   // with Exit
  QString Output;     // with Exit: the text to print (help, version, or one line of error)
  bool OutputIsError = false;
};

// Parses the arguments (the program name first); JobsFromEnvironment is QUILLMERE_JOBS, which
// --jobs overrides. A bad option or value gives Exit with code 2 and a one-line error that
// carries the usage.
TCommandLine ParseCommandLine(const QStringList& Arguments, const QString& JobsFromEnvironment = {});
