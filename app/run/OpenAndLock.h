#pragma once

#include <QString>

#include <optional>

#include "ExitStatus.h"
#include "RunLock.h"

class TLogDatabase;
enum class TOpenFailure;

// The one exit status of each reason logs.mdb could not be opened, for every command.
TExitStatus StatusOf(TOpenFailure Failure);

// Who holds the run lock on File, for a person: "the watch running since ... (process N)", or
// "another run".
QString HolderText(const QString& File);

// How a start that could not take logs.mdb ends: its journal line is written; Box, when not
// empty, is for a person at a display, whom the caller shows it once its window is up.
struct TRefusal {
  TExitStatus Status;
  QString Box;
};

// Takes the lock that keeps one run (or watch) on File at a time, then opens File into Db: empty
// when both hold. The caller declares Lock before Db, so that it is let go only after Db has
// closed.
std::optional<TRefusal> OpenAndLock(TLogDatabase& Db, const QString& File, std::optional<TRunLock>& Lock);
