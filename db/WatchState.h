#pragma once

#include <QSqlDatabase>
#include <QString>

#include <optional>
#include <vector>

#include "DateTime.h"

// What a watch keeps in logs.mdb for whoever starts Quillmere meanwhile: its own row (table
// watch_process) and a row per watched line (table watch_lines), each row written only when it
// changed. Only the watch writes them; it removes them as it stops. Every failed statement
// raises EDatabaseError.

// A watched reader's line as the readers window shows it.
struct TLineState {
  enum class TLine { Connecting, Up, Down };
  QString Address;
  QString Port;
  TLine Line = TLine::Connecting;
  TDateTime Since = 0;
  QString Step;  // the pass's step under way (see StepName); empty between passes
  int Steps = 0;
  int Maximum = 0;
  bool operator==(const TLineState&) const = default;
};

// "up", "down", "connecting": as the column line holds it.
QString LineText(TLineState::TLine Line);

// Makes the tables, drops whatever a killed watch left there, and writes the watch's own row.
void BeginWatchState(const QSqlDatabase& Db, qint64 Pid);
// Each changed line's row, and the rows of the lines no longer watched, in one commit.
void WriteLineStates(const QSqlDatabase& Db, const std::vector<TLineState>& Changed, const std::vector<TLineState>& Gone);
void EndWatchState(const QSqlDatabase& Db);

struct TWatchProcess {
  qint64 Pid = 0;
  QString Started;
};

// The watch whose row names a live process; none when there is no such row (a run holds the
// file, or a watch was killed and left its row) or no table.
std::optional<TWatchProcess> LiveWatch(const QSqlDatabase& Db);

// The same for the file at DatabasePath, read through a read-only connection of its own; none
// too when the file cannot be read now.
std::optional<TWatchProcess> WatchHolding(const QString& DatabasePath);
