#pragma once

#include <QString>

#include <optional>

#include "Reader.h"
#include "ReaderAddress.h"

// What asking a reader for its record count found.
struct TProbe {
  std::optional<TCapacity> Capacity;  // empty: no answer
  int Tries = 0;
  qint64 ElapsedMs = 0;
  QString Failure;  // why there is no answer, for a person
};

// Connects to Reader and asks how many records it holds, up to three times with a reconnect
// after each miss, as a run would. Sends nothing else: no lock (the count needs none, and a
// lock left behind would stop the reader taking cards), no clock, not even when the reader
// asks for one, no options, no clear. Needs a running event loop's application object.
TProbe ProbeReader(const TReaderAddress& Reader, const TLinkTimings& Timings = {});

// quillmere --test-reader: says what ProbeReader found and how long it took; returns the exit
// code, Ok only when the reader answered.
int TestReader(const TReaderAddress& Reader);
