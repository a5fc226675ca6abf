#pragma once

#include <QString>

// quillmere --check: prints one line per readers row, those without a recent done visit first,
// and returns the exit code for monitors (0 all well, 1 some not, 2 unreadable).
int ReportHealth(const QString& ApplicationDirectory, int WindowHours);
