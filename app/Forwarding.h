#pragma once

class TLogDatabase;
struct TRunOptions;

enum class TForwardEnd { Sent, Outage, NeedsPerson };

// After the readers of a run: sends what the central server has not acknowledged yet and says
// how it went in one journal line. Gives up within bounded time; the next run catches up.
TForwardEnd ForwardCollected(const TLogDatabase& Db, const TRunOptions& Options);
