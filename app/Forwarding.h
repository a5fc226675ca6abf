#pragma once

class TLogDatabase;
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
