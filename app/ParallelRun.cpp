#include "ParallelRun.h"

#include <QEventLoop>
#include <QTimer>

#include "Errors.h"
#include "LogDatabase.h"
#include "ReaderPass.h"
#include "RunJournal.h"
#include "Sockets.h"
#include "StatusLine.h"
#include "pgbar.h"

namespace {

constexpr int ProgressGap = 40;
// Steps add up in one counter that the window thread takes at most this often: with twenty
// readers, a wake-up per page would cost more than the gauge tells.
constexpr int ProgressEveryMs = 100;

class TSharedProgress final : public IDownloadProgress {
 public:
  explicit TSharedProgress(std::function<void()> Step) : StepTaken(std::move(Step)) {}
  void Step() override { StepTaken(); }
  void Hide() override {}

 private:
  std::function<void()> StepTaken;
};

}  // namespace

TParallelRun::TParallelRun(TLogDatabase& ADb, TRunJournal& AJournal, IStatusLine& AStatus, QWidget& AOwner, int AJobs)
    : Db(ADb), Journal(AJournal), Status(AStatus), Owner(AOwner), Jobs(AJobs) {}

TParallelRun::~TParallelRun() = default;

void TParallelRun::Run() {
  Store = std::make_unique<TLogDatabase>();
  Store->OpenDatabase(Db.DatabasePath());
  Total = static_cast<int>(Db.ReaderCount());
  QEventLoop loop;
  Loop = &loop;
  Status.SetStatusVisible(true);
  ShowState();
  HandOut();
  if (!Workers.empty()) loop.exec();
  Loop = nullptr;
  Progress.reset();
  Status.SetStatusVisible(false);
  if (Failure) std::rethrow_exception(Failure);
}

void TParallelRun::HandOut() {
  while (static_cast<int>(Workers.size()) < Jobs && !Stopped && HandOutNext()) {
  }
  ShowState();
  if (Workers.empty() && Loop != nullptr) Loop->quit();
}

// The next row in table order, unless its reader is still being visited by an earlier row,
// under whatever text: a reader takes one connection, so that row waits, and the rows behind it.
bool TParallelRun::HandOutNext() {
  if (Db.ReadersAtEnd()) return false;
  TVisitOrder order;
  order.Visit = RowVisit(Db);
  order.Key = PeerIdentity(order.Visit.Address.toUtf8(), order.Visit.Port.toUtf8());
  if (order.Key.isEmpty()) order.Key = order.Visit.Address + ':' + order.Visit.Port;
  if (Workers.count(order.Key) != 0) return false;
  order.JournalId = Journal.VisitStarted(order.Visit);
  try {
    order.Row = Db.ReadReaderRow();
  } catch (const EConvertError& Error) {
    Journal.VisitEnded(order.JournalId, FailedVisit(order.Visit, Error));
    Failure = std::current_exception();
    Stopped = true;
    return false;
  }
  Db.NextReader();
  Start(std::move(order));
  return true;
}

void TParallelRun::Start(TVisitOrder Order) {
  const QString key = Order.Key;
  Workers[key] = std::make_unique<TVisitWorker>(*Store, SharedProgress(), std::move(Order),
                                                [this](const TVisitOrder& Ordered, const TVisitEnd& End) {
                                                  QMetaObject::invokeMethod(
                                                      this, [this, Ordered, End] { Ended(Ordered, End); }, Qt::QueuedConnection);
                                                });
}

// Called in a visit's thread: everything it tells the window thread goes as a queued call.
TProgressOpener TParallelRun::SharedProgress() {
  return [this](const QString&, int Maximum) -> std::unique_ptr<IDownloadProgress> {
    QMetaObject::invokeMethod(this, [this, Maximum] { GrowProgress(Maximum); }, Qt::QueuedConnection);
    return std::make_unique<TSharedProgress>([this] { AddStep(); });
  };
}

void TParallelRun::Ended(const TVisitOrder& Order, const TVisitEnd& End) {
  ++Done;
  Workers.erase(Order.Key);  // its last step was to post this: it ends at once
  Journal.VisitEnded(Order.JournalId, End.Visit);
  if (End.Stop) {
    Stopped = true;  // as the serial run stops at such a row
    if (!Failure) Failure = End.Stop;
  }
  HandOut();
}

void TParallelRun::ShowState() {
  Status.SetStatusText(QStringLiteral("%1 readers at work, %2 of %3 done").arg(Workers.size()).arg(Done).arg(Total));
  if (Progress) Progress->setWindowTitle(QStringLiteral("Downloading Logs (%1 readers at work)").arg(Workers.size()));
}

void TParallelRun::GrowProgress(int Maximum) {
  if (!Progress) {
    Progress = std::make_unique<Tpbar>(&Owner, QString(), Maximum);
    // Below the status window rather than over it: with many readers both are read together.
    // The window manager may not have told the frames yet: leave room for a title bar.
    const QRect status = Owner.geometry();
    Progress->hide();
    Progress->move(status.center().x() - Progress->width() / 2, status.bottom() + ProgressGap);
    Progress->show();
    ShowState();
    return;
  }
  Progress->bar->SetMaxValue(Progress->bar->MaxValue() + Maximum);
}

// In a visit's thread. The first step after the window thread took the count schedules the
// next taking; the steps until then only add up.
void TParallelRun::AddStep() {
  if (StepsPending.fetch_add(1) != 0) return;
  QMetaObject::invokeMethod(
      this, [this] { QTimer::singleShot(ProgressEveryMs, this, [this] { AdvanceProgress(StepsPending.exchange(0)); }); },
      Qt::QueuedConnection);
}

// Painted when the percentage moves, not at every page of every reader.
void TParallelRun::AdvanceProgress(int Steps) {
  if (Progress) Progress->bar->SetProgress(Progress->bar->Progress() + Steps);
}
