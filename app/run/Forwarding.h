#pragma once

#include <QString>

#include "ExitStatus.h"

class EDatabaseError;
class EServerError;
class TLogDatabase;
struct TForwardProgress;
struct TRunOptions;

// How a forward ended, for the run's exit status.
enum class TForwardEnd {
  Sent,          // everything acknowledged, or nothing new
  Outage,        // the server or the link failed; the next run sends the rest
  Refused,       // needs a person: the URL, a login, a right, a table's shape, a site name in use, rows set aside
  LocalFailure,  // logs.mdb itself failed
};

// After the readers of a run: sends what the central server has not acknowledged yet and says
// how it went in one journal line. Gives up within bounded time; the next run catches up.
TForwardEnd ForwardCollected(const TLogDatabase& Db, const TRunOptions& Options);

// A failure of the server: an outage passes by itself; anything else needs a person, whom
// sending again will not replace.
TForwardEnd EndOf(const EServerError& Error);
TExitStatus ExitStatusOf(TForwardEnd End);
// What a failed forward got done, why it failed and Then what, for its journal line.
QString ForwardFailed(const TForwardProgress& Progress, const QString& Why, const QString& Then);
QString LocalFailureText(const EDatabaseError& Error);
