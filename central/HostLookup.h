#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>

// The numeric addresses of a host name, looked up in a thread of its own so that the wait ends
// at Deadline, or at once when StopFd (-1: none) turns readable: the resolver's own waits (its
// time-out, times its attempts, times its name servers) may last far longer. A lookup given up
// finishes alone and harmlessly. Raises EServerError: an outage when the name does not resolve
// in time, Stopped at a stop.
QList<QByteArray> LookUpHost(const QByteArray& Name, std::chrono::steady_clock::time_point Deadline, int StopFd);
