#pragma once

#include <QString>

// The states of a monitoring plugin, which are also its exit codes.
enum class TCheckState : int { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

struct TCheckReport {
  TCheckState State = TCheckState::Unknown;
  QString Text;  // "QUILLMERE <STATE> - <summary> | <perfdata>", then one line per reader
};

// quillmere --check on the logs.mdb at DatabasePath: every reader had a done visit within
// WindowHours (OK), some did not (WARNING), none did (CRITICAL), or the file cannot be read
// (UNKNOWN). With Forwarding, a forward that failed last or succeeded longer ago than the window
// is a WARNING. Readers without a recent done visit come first.
TCheckReport CheckHealth(const QString& DatabasePath, int WindowHours, bool Forwarding);

// Prints CheckHealth's report on standard output; returns the exit code.
int ReportHealth(const QString& DatabasePath, int WindowHours, bool Forwarding);
