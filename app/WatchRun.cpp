#include "WatchRun.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <optional>

#include "DownloadRun.h"
#include "Errors.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "ReaderVisit.h"
#include "RunJournal.h"
#include "RunLock.h"
#include "Sockets.h"
#include "StopSignals.h"
#include "WatchForwarding.h"

namespace {

constexpr int HighestPort = 65535;
// A stop must not wait out another program's hold on logs.mdb: the workers, the forward and the
// journal wait for it in slices this long, and between them look whether the watch is stopping.
constexpr int WatchBusyTimeoutMs = 250;
constexpr int KeptBackRetryMs = 2000;

QString RowName(const TVisit& Visit) {
  return Visit.Address + ':' + Visit.Port;
}

// Why a row gets no worker, or empty when it gets one.
QString RowRefusal(const TReaderRow& Row, const QString& Key, const std::vector<QString>& Watched) {
  const int port = ResolvePort(Row.Port.toUtf8());
  if (port < 1 || port > HighestPort) return QStringLiteral("port %1 is outside 1 to %2").arg(port).arg(HighestPort);
  if (std::find(Watched.begin(), Watched.end(), Key) != Watched.end()) {
    return QStringLiteral("the reader is already watched under another row");
  }
  if (static_cast<int>(Watched.size()) >= MaxWatchedReaders) {
    return QStringLiteral("a watch keeps at most %1 readers: this one is not watched").arg(MaxWatchedReaders);
  }
  return {};
}

void RefuseRow(TRunJournal& Journal, TVisit Visit, const QString& Why) {
  Visit.Outcome = TVisitOutcome::BadRow;
  Visit.Detail = Why;
  Journal.VisitWhole(Visit);
}

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
  TLogDatabase db;
  std::optional<TRunLock> runLock;
  if (const auto refused = OpenAndLock(db, DatabaseFile, runLock)) {
    // A watch that cannot start is a failure, whatever a run makes of another run: its unit
    // tries again later rather than leave the readers unwatched until the next boot.
    return *refused == TExitStatus::Ok ? TExitStatus::RunFailed : *refused;
  }
  return Watch(db, loop);
}

// Declared so that they go in this order: the workers (joined), the store they shared, the
// receiver of their posts, then the journal those posts wrote to.
TExitStatus TWatchRun::Watch(TLogDatabase& Db, QEventLoop& Loop) {
  TRunJournal journal(Db, true);
  Db.SetBusyTimeout(WatchBusyTimeoutMs);  // the start may wait; from here a stop never does
  QObject receiver;
  std::atomic<bool> stopping{false};
  TLogDatabase store(WatchBusyTimeoutMs);
  store.OpenDatabase(Db.DatabasePath());
  store.AbandonWaitsWhen([&stopping] { return stopping.load(); });
  std::optional<TWatchForwarding> forwarding;  // before the workers, which tell it of each live event
  if (!Options.ForwardUrl.isEmpty()) forwarding.emplace(Db.DatabasePath(), Options, WatchBusyTimeoutMs);
  TWorkers workers = StartWorkers(Db, journal, receiver, store, forwarding ? forwarding->StoredSignal() : std::function<void()>());
  JournalLine(TPriority::Info, QStringLiteral("watching %1 readers; each log collected on connect and every %2 minutes")
                                   .arg(workers.size())
                                   .arg(Timings.CollectMinutes));
  QTimer keptBack;  // visit rows another program's hold on logs.mdb kept out
  QObject::connect(&keptBack, &QTimer::timeout, &keptBack, [&journal] { journal.WriteKeptBack(); });
  keptBack.start(KeptBackRetryMs);
  Loop.exec();
  stopping = true;
  if (forwarding) forwarding->Stop();
  const bool liveStoreFailed = StopWorkers(workers);
  QCoreApplication::sendPostedEvents(&receiver);  // the passes that ended as the workers stopped
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
  return liveStoreFailed || journal.FileFailed() ? TExitStatus::StoreFailed : ExitStatusOf(forwarded);
}

// All at once, so that they end side by side; true when a live event could not be stored.
bool TWatchRun::StopWorkers(TWorkers& Workers) {
  for (const auto& worker : Workers) worker->Stop();
  bool liveStoreFailed = false;
  int liveStored = 0;
  for (const auto& worker : Workers) {
    worker->StopAndWait();
    liveStoreFailed |= worker->StoreFailed();
    liveStored += worker->LiveEventsStored();
  }
  Workers.clear();
  JournalLine(TPriority::Info, QStringLiteral("watch stopped; %1 live events stored").arg(liveStored));
  return liveStoreFailed;
}

// A row that cannot be watched is refused with its own visit row and line, and the others are
// watched all the same: one mistyped row does not leave every reader unwatched.
TWatchRun::TWorkers TWatchRun::StartWorkers(TLogDatabase& Db, TRunJournal& Journal, QObject& Receiver, TLogDatabase& Store,
                                            const std::function<void()>& Stored) const {
  TWorkers workers;
  std::vector<QString> watched;
  for (; !Db.ReadersAtEnd(); Db.NextReader()) {
    const TVisit visit = RowVisit(Db);
    TReaderRow row;
    QString key;
    QString refusal;
    try {
      row = Db.ReadReaderRow();
      key = PeerIdentity(row.Address.toUtf8(), row.Port.toUtf8());
      if (key.isEmpty()) key = RowName(visit);
      refusal = RowRefusal(row, key, watched);
    } catch (const EConvertError& Error) {
      refusal = QString::fromLocal8Bit(Error.what());
    }
    if (!refusal.isEmpty()) {
      RefuseRow(Journal, visit, refusal);
      continue;
    }
    watched.push_back(key);
    workers.push_back(std::make_unique<TWatchWorker>(Store, row, Timings, [&Journal, &Receiver](const TVisit& Ended) {
      QMetaObject::invokeMethod(
          &Receiver,
          [&Journal, Ended] {
            if (Ended.Outcome == TVisitOutcome::LineDown) {
              Journal.LineDown(Ended);
            } else {
              Journal.VisitWhole(Ended);
            }
          },
          Qt::QueuedConnection);
    }, Stored));
  }
  return workers;
}
