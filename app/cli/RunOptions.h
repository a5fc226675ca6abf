#pragma once

#include <QString>

// The most readers one watch keeps a line open to: a thread and a connection each.
constexpr int MaxWatchedReaders = 64;

// How a run goes beyond the default: readers side by side, records forwarded to a server.
struct TRunOptions {
  int Jobs = 1;
  QString ForwardUrl;  // empty: no forwarding
  QString Site;        // this collector's name on the server
  int WatchCollectMinutes = 60;  // --watch: the reader pass this often
};
