#pragma once

#include <QString>

#include <optional>

#include "ReaderAddress.h"

// How long --collect-now waits: for the watch to take the request (it looks every second), and
// for the passes to end (a full log under a busy watch takes minutes).
struct TCollectWaits {
  int TakeMs = 10000;
  int PassesMs = 15 * 60 * 1000;
  int LookEveryMs = 500;
};

// quillmere --collect-now [ADDRESS:PORT]: asks the watch that holds logs.mdb for a pass of every
// readers row, or of those naming Reader, and prints each reader's outcome as it comes. SIGINT
// or SIGTERM ends the wait, not the passes. Returns the exit code: 0 once every pass was done;
// NoWatch when no watch holds the file; Usage when no row names Reader; CollectUnfinished when
// a pass failed, was refused, or had not ended when the wait did.
int CollectNow(const QString& DatabasePath, const std::optional<TReaderAddress>& Reader, const TCollectWaits& Waits = {});
