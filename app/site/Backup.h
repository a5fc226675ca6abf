#pragma once

#include <QString>

// quillmere --backup FILE [--force]: a consistent copy of logs.mdb at FILE, for its owner and
// the data folder's group only; returns the exit code. FILE may not be logs.mdb itself or a
// file SQLite keeps beside it; an existing FILE is replaced only with Force.
int BackupTo(const QString& DatabasePath, const QString& File, bool Force);
