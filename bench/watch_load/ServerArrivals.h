#pragma once

#include <QByteArray>

#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

// The central server as the benchmark sees it: which cards have arrived since the last look.
class TServerArrivals {
 public:
  explicit TServerArrivals(const QByteArray& Url);
  bool Connected() const;
  // Calls Arrived once for each card whose row appeared since the last call.
  void Poll(const std::function<void(std::uint32_t)>& Arrived);
  // How many of Cards have exactly one row on the server.
  long StoredOnce(const std::vector<std::uint32_t>& Cards);

 private:
  std::unique_ptr<PGconn, decltype(&PQfinish)> Connection;
  bool Numbered = false;
  QByteArray Last = "0";  // the highest arrival number seen
  std::set<std::uint32_t> Seen;
};
