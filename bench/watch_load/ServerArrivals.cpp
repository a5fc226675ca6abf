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

// Each row gets a number of the benchmark's own as it is inserted: the watch forwards over one
// connection, one transaction after another, so the numbers come in the order rows become
// visible, and a look reads only the rows since the last, not a window of seconds of them.
void TServerArrivals::Poll(const std::function<void(std::uint32_t)>& Arrived) {
  if (!Numbered) {
    // The program makes the table on its first forward.
    const TResult made = Query(Connection.get(), "SELECT to_regclass('records') IS NOT NULL");
    if (PQntuples(made.get()) != 1 || PQgetvalue(made.get(), 0, 0)[0] != 't') return;
    Query(Connection.get(), "ALTER TABLE records ADD COLUMN IF NOT EXISTS bench_arrival bigserial");
    Query(Connection.get(), "CREATE INDEX IF NOT EXISTS bench_arrival ON records (bench_arrival)");
    Numbered = true;
  }
  const TResult rows = Query(Connection.get(), "SELECT cardno, bench_arrival FROM records WHERE bench_arrival > $1::bigint", Last);
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    const auto card = static_cast<std::uint32_t>(QByteArray(PQgetvalue(rows.get(), row, 0)).toUInt());
    if (Seen.insert(card).second) Arrived(card);
    const QByteArray number(PQgetvalue(rows.get(), row, 1));
    if (number.toLongLong() > Last.toLongLong()) Last = number;
  }
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
