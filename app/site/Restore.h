#pragma once

#include <QString>

// quillmere --restore FILE: checks the back-up copy FILE, refuses while a run, a watch or
// another program has logs.mdb open, then puts a copy of FILE in its place for the group, as
// --init makes it (SharedFolder: the data folder). The file it replaces is kept beside it
// under a dated name unless Force. Says what the copy cannot hold; returns the exit code.
int RestoreFrom(const QString& DatabasePath, const QString& File, bool Force, const QString& SharedFolder = {});
