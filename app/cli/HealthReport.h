#pragma once

#include <QString>

// The states of a monitoring plugin, which are also its exit codes.
enum class TCheckState : int { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// A monitor's thresholds on the hours since a reader's last done visit; 0: not given.
struct TCheckThresholds {
  int WarningHours = 0;
  int CriticalHours = 0;
  bool Given() const { return WarningHours > 0 || CriticalHours > 0; }
};

struct TCheckReport {
  TCheckState State = TCheckState::Unknown;
  QString Text;  // "QUILLMERE <STATE> - <summary> | <perfdata>", then one line per reader
};

// quillmere --check on the logs.mdb at DatabasePath: every reader had a done visit within
// WindowHours (OK), some did not (WARNING), none did (CRITICAL), or the file cannot be read
// (UNKNOWN). With Thresholds, a reader whose last done visit ended longer ago than one of them
// (or that never had one), and to which no visit is under way, raises that one's state instead,
// and the first line names it. With Forwarding, a forward that failed last or succeeded longer
// ago than the window is a WARNING. A readers row no run visits (a cell it cannot read, a port out
// of range, a second row of one reader) is a WARNING with a line of its own, first; the readers
// without a recent done visit come next.
TCheckReport CheckHealth(const QString& DatabasePath, int WindowHours, bool Forwarding, const TCheckThresholds& Thresholds = {});

// Prints CheckHealth's report on standard output; returns the exit code.
int ReportHealth(const QString& DatabasePath, int WindowHours, bool Forwarding, const TCheckThresholds& Thresholds);
