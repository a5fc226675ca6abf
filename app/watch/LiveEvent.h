#pragma once

#include <QString>

#include <cstdint>

#include "DateTime.h"

class TWriteTransaction;

// A card event as a reader sent it on its open line.
struct TLiveEvent {
  int CardNo = 0;
  TDateTime Stamp = 0;  // 0: the event's time code names no real time
  std::int8_t Mode = -1;  // -1: the short form, which carries none
  QString Identity;  // the reader whose line it came on, by PeerIdentity
};

enum class TLiveStored { Added, Duplicate, Invalid };

// Stores the event as a record of Reader in Transaction, under the duplicate rule: stored once
// the caller commits. An event without a valid time is not stored: its record is left to the
// log, which holds the same time. A short event is kept pending its log copy when one will come
// (AwaitLogCopy). Raises EDatabaseError.
TLiveStored StoreLiveEvent(TWriteTransaction& Transaction, const TLiveEvent& Event, const QString& Reader, bool AwaitLogCopy);
