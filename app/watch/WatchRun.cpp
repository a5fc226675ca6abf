#include "WatchRun.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <optional>

#include "DescriptorLimit.h"
#include "Errors.h"
#include "Journal.h"
#include "LiveEventWriter.h"
#include "LogDatabase.h"
#include "OpenAndLock.h"
#include "ReadersTable.h"
#include "ReaderVisit.h"
#include "RunJournal.h"
#include "RunLock.h"
#include "StopSignals.h"
#include "WatchDesk.h"
#include "WatchForwarding.h"
#include "WatchLines.h"
#include "WatchedReaders.h"

namespace {

// A stop must not wait out another program's hold on logs.mdb: the workers, the forward and the
// journal wait for it in slices this long, and between them look whether the watch is stopping.
constexpr int WatchBusyTimeoutMs = 250;
constexpr int KeptBackRetryMs = 2000;
// A watched line costs its socket; each pass thread its wake-up, counted apart.
constexpr std::uint64_t DescriptorsPerReader = 1;

}  // namespace

TWatchRun::TWatchRun(QString ADatabaseFile, TRunOptions AOptions, TWatchTimings ATimings)
    : DatabaseFile(std::move(ADatabaseFile)), Options(std::move(AOptions)), Timings(ATimings) {
  Timings.CollectMinutes = Options.WatchCollectMinutes;
}

// The stop signals come first: a stop while the open waits for another program's hold ends the
// watch cleanly once it is open, not by the signal's default action.
TExitStatus TWatchRun::Run() {
  QEventLoop loop;
  const TStopSignals stopSignals([&loop] { loop.quit(); });
  std::optional<TRunLock> runLock;
  TLogDatabase db;
  if (const auto refused = OpenAndLock(db, DatabaseFile, runLock)) {
    // A watch that cannot start is a failure, whatever a run makes of another run: its unit
    // tries again later rather than leave the readers unwatched until the next boot.
    return refused->Status == TExitStatus::Ok ? TExitStatus::RunFailed : refused->Status;
  }
  // Read while the open may still wait out another program's hold.
  const std::vector<QSqlRecord> readers = ReadReaderRecords(db);
  const QString shortfall = DescriptorShortfall(readers.size(), DescriptorsPerReader, static_cast<std::uint64_t>(Options.WatchJobs),
                                                RaiseDescriptorLimit());
  if (!shortfall.isEmpty()) {
    JournalLine(TPriority::Error, shortfall);
    return TExitStatus::DescriptorsShort;
  }
  return Watch(db, readers, loop);
}

// Declared so that they go in this order: the lines (stopped, their events settled), the writer,
// the store they shared, the receiver of their posts, then the journal those posts wrote to.
TExitStatus TWatchRun::Watch(TLogDatabase& Db, const std::vector<QSqlRecord>& Readers, QEventLoop& Loop) {
  TRunJournal journal(Db, true);
  Db.SetBusyTimeout(WatchBusyTimeoutMs);  // the start may wait; from here a stop never does
  QObject receiver;
  std::atomic<bool> stopping{false};
  TLogDatabase store(WatchBusyTimeoutMs);
  store.OpenDatabase(Db.DatabasePath());
  store.KeepLiveEventsPending();
  store.AbandonWaitsWhen([&stopping] { return stopping.load(); });
  std::optional<TWatchForwarding> forwarding;  // before the writer, which tells it of each commit of live events
  if (!Options.ForwardUrl.isEmpty()) forwarding.emplace(Db.DatabasePath(), Options, WatchBusyTimeoutMs);
  TLiveEventWriter live(store, Timings.FileRetryMs, forwarding ? forwarding->StoredSignal() : std::function<void()>());
  TWatchLines lines;
  TWatchedReaders readers(Db, Readers, store, live, journal, receiver, Timings, Options.WatchJobs, &lines);
  TWatchDesk desk(Db, lines, [&readers](const QString& Reader) { return readers.Watches(Reader); },
                  [&readers](const QString& Reader) { readers.CollectNow(Reader); });
  JournalLine(TPriority::Info, QStringLiteral("watching %1; each log collected on connect and every %2")
                                   .arg(readers.Count() == 1 ? QStringLiteral("1 reader") : QStringLiteral("%1 readers").arg(readers.Count()))
                                   .arg(Timings.CollectMinutes == 1 ? QStringLiteral("minute")
                                                                     : QStringLiteral("%1 minutes").arg(Timings.CollectMinutes)));
  QTimer keptBack;  // visit rows another program's hold on logs.mdb kept out
  QObject::connect(&keptBack, &QTimer::timeout, &keptBack, [&journal] { journal.WriteKeptBack(); });
  keptBack.start(KeptBackRetryMs);
  QTimer rescan;  // rows added, changed or removed meanwhile
  QObject::connect(&rescan, &QTimer::timeout, &rescan, [&readers] { readers.Update(); });
  rescan.start(Timings.RescanMs);
  Loop.exec();
  stopping = true;
  if (forwarding) forwarding->Stop();
  const bool liveStoreFailed = readers.StopAll();
  desk.End();
  const int liveStored = readers.LiveEventsStored();
  QCoreApplication::sendPostedEvents(&receiver);  // the passes that ended as the lines stopped
  journal.LiveEventsStored(liveStored);
  journal.WriteKeptBack();
  journal.GiveUpKeptBack();
  const TForwardEnd forwarded = forwarding ? forwarding->StopAndWait() : TForwardEnd::Sent;
  try {
    Db.Checkpoint();
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error, QStringLiteral("%1: what was stored stays in its log, which cannot be moved into the file: %2")
                                      .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
    return TExitStatus::StoreFailed;
  }
  return liveStoreFailed || journal.FileFailed() || desk.FileFailed() ? TExitStatus::StoreFailed : ExitStatusOf(forwarded);
}
