#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>

#include "Journal.h"

// How a visit of one readers row ended. Each has its row in VisitOutcomes::Table below, in this
// order; LineDown stays last.
enum class TVisitOutcome {
  Running,
  Done,
  Unreachable,
  NoResponse,
  LinkCheckFailed,
  ConnectionLost,
  StoreFailed,
  BadRow,
  Interrupted,
  LineDown,  // a watched reader's line dropped or could not be made
};

// What an outcome means to each part that judges a visit: decided here alone.
struct TOutcomeMeaning {
  TVisitOutcome Outcome;
  const char* Text;      // as the column visits.outcome holds it
  TPriority Priority;    // of the visit's journal line
  bool Failure;          // counts against its reader in --check; a visit under way does not
  bool LineLost;         // the line to the reader is gone: a watch makes it anew
  bool ShownFailed;      // red in the readers window, which shows only ended visits
  bool DiskFailed;       // logs.mdb failed to take it: the run needs a person
};

namespace VisitOutcomes {

using enum TVisitOutcome;
constexpr TPriority Info = TPriority::Info;
constexpr TPriority Warning = TPriority::Warning;
constexpr TPriority Error = TPriority::Error;

// In the order of TVisitOutcome. fails: Failure, lost: LineLost, red: ShownFailed, disk: DiskFailed.
//                     text                priority fails  lost   red    disk
inline constexpr TOutcomeMeaning Table[] = {
    // Shown as ended while still running would be a fault of ours: red, not done.
    {Running,         "running",           Warning, false, false, true,  false},
    {Done,            "done",              Info,    false, false, false, false},
    {Unreachable,     "unreachable",       Warning, true,  true,  true,  false},
    {NoResponse,      "no_response",       Warning, true,  true,  true,  false},
    // Ends with the reader unlocked on a line that works: a reader taking cards during a visit
    // answers so, and a watch's events must keep coming.
    {LinkCheckFailed, "link_check_failed", Warning, true,  false, true,  false},
    {ConnectionLost,  "connection_lost",   Warning, true,  true,  true,  false},
    {StoreFailed,     "store_failed",      Error,   true,  false, true,  true},
    {BadRow,          "bad_row",           Error,   true,  false, true,  false},
    {Interrupted,     "interrupted",       Warning, true,  false, true,  false},
    {LineDown,        "line_down",         Warning, true,  false, true,  false},
};

}  // namespace VisitOutcomes

constexpr const TOutcomeMeaning& MeaningOf(TVisitOutcome Outcome) {
  return VisitOutcomes::Table[static_cast<std::size_t>(Outcome)];
}

// The outcome as the column visits.outcome holds it: "done", "no_response", ...
QString OutcomeText(TVisitOutcome Outcome);

// The texts of the outcomes that are no failure of their reader.
QStringList NonFailureTexts();

// The outcome the column visits.outcome names; none for a text no run of ours writes.
std::optional<TVisitOutcome> OutcomeNamed(const QString& Text);
