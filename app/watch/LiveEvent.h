#pragma once

#include <QString>

#include <cstdint>

#include "DateTime.h"

class TLogDatabase;

// A card event as a reader sent it on its open line.
struct TLiveEvent {
  int CardNo = 0;
  TDateTime Stamp = 0;  // 0: the event's time code names no real time
  std::int8_t Mode = -1;  // -1: the short form, which carries none
};

enum class TLiveStored { Added, Duplicate, Invalid };

// Stores the event as a record of Reader in a transaction of its own, committed before this
// returns, under the duplicate rule. An event without a valid time is not stored: its record is
// left to the log, which holds the same time. It waits only a moment for another thread's turn
// or another program's lock: EDatabaseBusy then, so that the caller reads on and tries again.
// Raises EDatabaseError, and then nothing is stored.
// A short event is kept pending its log copy when one will come (AwaitLogCopy).
TLiveStored StoreLiveEvent(TLogDatabase& Store, const TLiveEvent& Event, const QString& Reader, bool AwaitLogCopy);
