#include "ServerArrivals.h"

#include <algorithm>
#include <map>

namespace {

using TResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

TResult Query(PGconn* Connection, const char* Sql, const QByteArray& Param = {}) {
  const char* values[] = {Param.constData()};
  return TResult(PQexecParams(Connection, Sql, Param.isNull() ? 0 : 1, nullptr, values, nullptr, nullptr, 0), &PQclear);
}

}  // namespace

TServerArrivals::TServerArrivals(const QByteArray& Url) : Connection(PQconnectdb(Url.constData()), &PQfinish) {}

bool TServerArrivals::Connected() const {
  return PQstatus(Connection.get()) == CONNECTION_OK;
}

// A row's arrival is its transaction's start on the server; a transaction that began earlier may
// commit after a later one, so each look goes back two seconds before the latest arrival seen.
void TServerArrivals::Poll(const std::function<void(std::uint32_t)>& Arrived) {
  if (!Indexed) {
    // The program makes the table on its first forward; without this index every look would read it whole.
    const TResult made = Query(Connection.get(), "SELECT to_regclass('records') IS NOT NULL");
    if (PQntuples(made.get()) != 1 || PQgetvalue(made.get(), 0, 0)[0] != 't') return;
    Query(Connection.get(), "CREATE INDEX IF NOT EXISTS bench_received ON records (received)");
    Indexed = true;
  }
  const TResult rows = Query(Connection.get(),
                             "SELECT cardno, MAX(received) OVER () FROM records "
                             "WHERE received > $1::timestamptz - interval '2 seconds'",
                             Since);
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    const auto card = static_cast<std::uint32_t>(QByteArray(PQgetvalue(rows.get(), row, 0)).toUInt());
    if (Seen.insert(card).second) Arrived(card);
  }
  if (PQntuples(rows.get()) > 0) Since = PQgetvalue(rows.get(), 0, 1);
}

long TServerArrivals::StoredOnce(const std::vector<std::uint32_t>& Cards) {
  const TResult rows = Query(Connection.get(), "SELECT cardno, COUNT(*) FROM records GROUP BY cardno");
  std::map<std::uint32_t, int> rowsOf;
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    rowsOf[static_cast<std::uint32_t>(QByteArray(PQgetvalue(rows.get(), row, 0)).toUInt())] =
        QByteArray(PQgetvalue(rows.get(), row, 1)).toInt();
  }
  return static_cast<long>(std::count_if(Cards.begin(), Cards.end(), [&](std::uint32_t Card) { return rowsOf[Card] == 1; }));
}
