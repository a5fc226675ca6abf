// watch_load: the load and the measurements of bench/watch_bench. Starts READERS emulated
// readers sending a live event every 100 ms, the real program under --watch over them, and a
// reader of logs.mdb that notes when each event's row appears. After SECONDS it stops the watch
// with SIGTERM, collects what was on the wire with one run, and prints one line: readers, events
// sent, events stored exactly once, p50 and p99 of event-to-row latency in ms, the watch's CPU
// in % of one core, its peak memory in MB after the first minute (or half the run) and at the
// end, its exit status, and the most threads and open descriptors it had. Given a server URL, the watch forwards there, the server is looked at
// every 10 ms too, and the line goes on with the events on the server exactly once and p50 and
// p99 of event-to-server latency in ms (an event not there by the stop counts with the time it
// had waited then).
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "ReaderSim.h"
#include "ServerArrivals.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int EventEveryMs = 100;
constexpr int PollMs = 2;
constexpr int ServerPollEvery = 5;  // of the local looks
constexpr double LateMs = 2000;
constexpr std::uint32_t LargestCard = 0xFFFFFF;  // cards are 24 bits
constexpr int CollectLimitMs = 600000;
constexpr int SampleEveryMs = 1000;  // threads and descriptors

struct TSendTimes {
  std::mutex Lock;
  std::map<std::uint32_t, Clock::time_point> At;
  void Note(std::uint32_t Card) {
    const std::lock_guard guard(Lock);
    At.emplace(Card, Clock::now());
  }
};

double CpuSeconds(qint64 Pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(Pid));
  if (!stat.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
  return (fields[11].toDouble() + fields[12].toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double PeakMegabytes(qint64 Pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(Pid));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
  }
  return 0;
}

long Threads(qint64 Pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(Pid));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("Threads:")) return line.mid(8).trimmed().toLong();
  }
  return 0;
}

long Descriptors(qint64 Pid) {
  return static_cast<long>(QDir(QStringLiteral("/proc/%1/fd").arg(Pid)).entryList(QDir::Files | QDir::System).size());
}

// A thousand emulators and the watch's lines to them need more than the usual 1,024.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// The first peak is taken after a minute, when the caches are warm, or halfway through a
// shorter run.
qint64 EarlyPeakMs(int Seconds) {
  return std::min<qint64>(60000, qint64{Seconds} * 500);
}

double Percentile(std::vector<double> Values, double Share) {
  if (Values.empty()) return -1;
  std::sort(Values.begin(), Values.end());
  return Values[static_cast<std::size_t>(Share * static_cast<double>(Values.size() - 1))];
}

// How many of Cards have exactly one row.
long StoredOnce(QSqlDatabase& Db, const std::vector<std::uint32_t>& Cards) {
  QSqlQuery stored(Db);
  stored.exec(QStringLiteral("SELECT CARDNO, COUNT(*) FROM records GROUP BY CARDNO"));
  std::map<std::uint32_t, int> rowsOf;
  while (stored.next()) rowsOf[stored.value(0).toUInt()] = stored.value(1).toInt();
  return static_cast<long>(std::count_if(Cards.begin(), Cards.end(), [&](std::uint32_t Card) { return rowsOf[Card] == 1; }));
}

// Events not on the server by now though sent LateMs ago or more count with the time they have
// waited; those sent since may still be on their way.
void LateOnes(TSendTimes& Sent, const std::set<std::uint32_t>& Arrived, std::vector<double>& Latencies) {
  const auto now = Clock::now();
  const std::lock_guard guard(Sent.Lock);
  for (const auto& [card, at] : Sent.At) {
    const double waited = std::chrono::duration<double, std::milli>(now - at).count();
    if (waited >= LateMs && Arrived.count(card) == 0) Latencies.push_back(waited);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication application(argc, argv);
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: watch_load PROGRAM DATABASE READERS SECONDS [SERVER-URL]\n");
    return 2;
  }
  const QString program = argv[1];
  const QString database = argv[2];
  const int readers = QByteArray(argv[3]).toInt();
  const int seconds = QByteArray(argv[4]).toInt();
  const QByteArray url = argc == 6 ? QByteArray(argv[5]) : QByteArray();
  // Each reader's cards apart from every other's for the whole run and the collect after it.
  const std::uint32_t cardsPerReader = LargestCard / static_cast<std::uint32_t>(readers + 1);
  const auto eventsPerReader = static_cast<std::uint32_t>(2 * seconds * 1000 / EventEveryMs + 1000);
  if (readers < 1 || eventsPerReader >= cardsPerReader) {
    std::fprintf(stderr, "watch_load: %d readers for %d s would wrap the 24-bit card numbers\n", readers, seconds);
    return 2;
  }
  RaiseDescriptorLimit();
  const QStringList forwarding = url.isEmpty() ? QStringList()
                                               : QStringList{QStringLiteral("--forward"), QString::fromUtf8(url),
                                                             QStringLiteral("--site"), QStringLiteral("bench")};
  std::unique_ptr<TServerArrivals> server;
  if (!url.isEmpty()) {
    server = std::make_unique<TServerArrivals>(url);
    if (!server->Connected()) return 1;
  }
  TSendTimes sent;
  std::vector<std::unique_ptr<readersim::ReaderSim>> sims;
  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
  db.setDatabaseName(database);
  if (!db.open()) return 1;
  db.transaction();
  for (int i = 0; i < readers; ++i) {
    readersim::SimFaults faults;
    faults.EventEveryMs = EventEveryMs;
    faults.EventCardBase = cardsPerReader * static_cast<std::uint32_t>(i + 1);
    faults.OnEventSent = [&sent](std::uint32_t Card) { sent.Note(Card); };
    sims.push_back(std::make_unique<readersim::ReaderSim>(std::vector<readersim::SimRecord>{}, faults));
    QSqlQuery(db).exec(QStringLiteral("INSERT INTO readers VALUES ('127.0.0.1', '%1', 0, 1, 0)").arg(sims.back()->Port()));
  }
  db.commit();
  QProcess watch;
  watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  watch.start(program, QStringList{QStringLiteral("--watch"), QStringLiteral("--database"), database} + forwarding);
  if (!watch.waitForStarted()) return 1;
  std::vector<double> latencies;
  std::vector<double> serverLatencies;
  long looks = 0;
  std::set<std::uint32_t> arrived;
  const auto arrive = [&](std::uint32_t Card) {
    const auto now = Clock::now();
    const std::lock_guard guard(sent.Lock);
    const auto at = sent.At.find(Card);
    if (at == sent.At.end()) return;
    arrived.insert(Card);
    serverLatencies.push_back(std::chrono::duration<double, std::milli>(now - at->second).count());
  };
  qint64 lastRow = 0;
  double earlyPeak = 0;
  long threads = 0;
  long descriptors = 0;
  qint64 nextSample = 0;
  QElapsedTimer elapsed;
  elapsed.start();
  QSqlQuery rows(db);
  while (elapsed.elapsed() < qint64{seconds} * 1000) {
    rows.exec(QStringLiteral("SELECT rowid, CARDNO FROM records WHERE rowid > %1").arg(lastRow));
    const auto now = Clock::now();
    {
      const std::lock_guard guard(sent.Lock);
      while (rows.next()) {
        lastRow = rows.value(0).toLongLong();
        const auto at = sent.At.find(rows.value(1).toUInt());
        if (at != sent.At.end()) latencies.push_back(std::chrono::duration<double, std::milli>(now - at->second).count());
      }
    }
    if (server && ++looks % ServerPollEvery == 0) server->Poll(arrive);
    if (earlyPeak == 0 && elapsed.elapsed() >= EarlyPeakMs(seconds)) earlyPeak = PeakMegabytes(watch.processId());
    if (elapsed.elapsed() >= nextSample) {
      nextSample += SampleEveryMs;
      threads = std::max(threads, Threads(watch.processId()));
      descriptors = std::max(descriptors, Descriptors(watch.processId()));
    }
    QThread::msleep(PollMs);
  }
  const double cpu = CpuSeconds(watch.processId());
  const double peak = PeakMegabytes(watch.processId());
  const double wall = static_cast<double>(elapsed.elapsed()) / 1000;
  if (server) LateOnes(sent, arrived, serverLatencies);
  watch.terminate();
  watch.waitForFinished(CollectLimitMs);
  // Events on the wire when the watch stopped are in the readers' logs: one run collects them,
  // and every event sent until now must then be stored once.
  std::vector<std::uint32_t> cards;
  {
    const std::lock_guard guard(sent.Lock);
    for (const auto& event : sent.At) cards.push_back(event.first);
  }
  QProcess collect;
  collect.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  const QStringList jobs{QStringLiteral("--jobs"), QString::number(std::min(readers, 64))};
  collect.start(program, jobs + QStringList{QStringLiteral("--database"), database} + forwarding);
  collect.waitForFinished(CollectLimitMs);
  sims.clear();
  std::printf("%d %zu %ld %.1f %.1f %.2f %.1f %.1f %d %ld %ld", readers, cards.size(), StoredOnce(db, cards),
              Percentile(latencies, 0.5), Percentile(latencies, 0.99), 100 * cpu / wall, earlyPeak, peak, watch.exitCode(), threads,
              descriptors);
  if (server) {
    std::printf(" %ld %.1f %.1f", server->StoredOnce(cards), Percentile(serverLatencies, 0.5), Percentile(serverLatencies, 0.99));
  }
  std::printf("\n");
  return 0;
}
