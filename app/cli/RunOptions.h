#pragma once

#include <QString>

// How a run goes beyond the default: readers side by side, records forwarded to a server.
struct TRunOptions {
  int Jobs = 1;
  QString ForwardUrl;  // empty: no forwarding
  QString Site;        // this collector's name on the server
  int WatchCollectMinutes = 60;  // --watch: the reader pass this often
  int WatchJobs = 16;            // --watch: connects and passes side by side
};
