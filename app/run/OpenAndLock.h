#pragma once

#include <QString>

#include <optional>

#include "ExitStatus.h"
#include "RunLock.h"

class TLogDatabase;

// Takes the lock that keeps one run (or watch) on File at a time, then opens File into Db: empty
// when both hold, else how the start ends, its line written (and a box with a display). The
// caller declares Lock before Db, so that it is let go only after Db has closed.
std::optional<TExitStatus> OpenAndLock(TLogDatabase& Db, const QString& File, std::optional<TRunLock>& Lock);
