#pragma once

#include <QString>

#include <vector>

#include <optional>

// A reader as a readers row names it: its address and its port, each as text.
struct TReaderAddress {
  QString Address;
  QString Port;
  QString Text() const { return Address + ':' + Port; }
};

// ADDRESS:PORT checked before anything is contacted or written: an IPv4 address in four
// decimal parts or a host name, and a port from 1 to 65535 or a service name this machine
// knows. Empty, with Error set to one line, when it is neither.
std::optional<TReaderAddress> ParseReaderAddress(const QString& Text, QString& Error);

// Which of Candidates are the reader Wanted, by the one key every mode tells readers apart by
// (ReaderKey); names are looked up side by side.
std::vector<bool> SameReaderAs(const TReaderAddress& Wanted, const std::vector<TReaderAddress>& Candidates);
