#pragma once

#include <QString>

#include <exception>

// How a forward ended, the same for a run and a watch: what is said, whether and when it is
// tried again, and the exit status all follow from it.
enum class TForwardEnd {
  Sent,          // everything acknowledged, or nothing new
  Stopped,       // we stopped it: no failure of anyone's; what was acknowledged by then stands
  Outage,        // passes by itself: the server, the link, another program's hold on logs.mdb;
                 // the next forward sends the rest
  Refused,       // needs a person: the URL, a login, a right, a table's shape, a site name in use, rows set aside
  LocalFailure,  // logs.mdb itself failed: a full or failing disk, a table of another shape
};

struct TForwardFailure {
  TForwardEnd End;
  QString Why;  // safe to show: never a password or a connection URL
};

// What the exception a forward raised means; rethrows one that is no std::exception.
TForwardFailure FailureOf(const std::exception_ptr& Error);
