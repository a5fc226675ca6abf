#include "ParallelRun.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include "Errors.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "RunJournal.h"
#include "StatusLine.h"
#include "pgbar.h"

namespace {

// A visit's own status texts would flicker unread among twenty: the window shows the totals.
class TSilentStatus final : public IStatusLine {
 public:
  void SetStatusText(const QString&) override {}
  void SetStatusVisible(bool) override {}
};

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

// One visit, start to end, in the calling thread.
TVisit VisitReader(TLogDatabase& Store, const TReaderRow& Row, const TVisit& Visit, TProgressOpener OpenProgress) {
  TReader reader(nullptr);
  TSilentStatus status;
  TReaderPass pass(reader, Store, status, std::move(OpenProgress));
  pass.SetAtomicStore(true);
  pass.ConfigureReader(Row.Address, Row.Port);
  if (!reader.Enable) return UnreachableVisit(reader, Visit);
  pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter});
  return pass.VisitOf(Visit);
}

}  // namespace

struct TParallelRun::TOrder {
  QString Key;
  qint64 JournalId = -1;
  TVisit Visit;
  TReaderRow Row;
};

TParallelRun::TParallelRun(TLogDatabase& Db, TRunJournal& Journal, IStatusLine& Status, QWidget& Owner, int Jobs)
    : Db(Db), Journal(Journal), Status(Status), Owner(Owner), Jobs(Jobs) {}

TParallelRun::~TParallelRun() = default;

void TParallelRun::Run() {
  Store = std::make_unique<TLogDatabase>();
  if (!Store->OpenDatabase(Db.DatabasePath())) throw EDatabaseError(Store->OpenFailure().toStdString());
  Total = static_cast<int>(Db.ReaderCount());
  QEventLoop loop;
  Loop = &loop;
  Status.SetStatusVisible(true);
  ShowState();
  HandOut();
  if (Running > 0) loop.exec();
  Loop = nullptr;
  Progress.reset();
  Status.SetStatusVisible(false);
  if (Failure) std::rethrow_exception(Failure);
}

void TParallelRun::HandOut() {
  while (Running < Jobs && !Stopped && HandOutNext()) {
  }
  ShowState();
  if (Running == 0 && Loop != nullptr) Loop->quit();
}

// The next row in table order, unless its reader is still being visited by an earlier row:
// a reader takes one connection, so that row waits, and the rows behind it with it.
bool TParallelRun::HandOutNext() {
  if (Db.ReadersAtEnd()) return false;
  TOrder order;
  order.Visit = RowVisit(Db);
  order.Key = order.Visit.Address + ':' + order.Visit.Port;
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

void TParallelRun::Start(TOrder Order) {
  ++Running;
  const QString key = Order.Key;
  auto thread = std::unique_ptr<QThread>(QThread::create([this, order = std::move(Order)] { Visit(order); }));
  thread->start();
  Workers[key] = std::move(thread);
}

// In the visit's own thread: everything it tells the window thread goes as a queued call.
void TParallelRun::Visit(const TOrder& Order) {
  const TProgressOpener openProgress = [this](const QString&, int Maximum) -> std::unique_ptr<IDownloadProgress> {
    QMetaObject::invokeMethod(this, [this, Maximum] { GrowProgress(Maximum); }, Qt::QueuedConnection);
    return std::make_unique<TSharedProgress>([this] { AddStep(); });
  };
  TVisit visit = Order.Visit;
  std::exception_ptr error;
  try {
    visit = VisitReader(*Store, Order.Row, Order.Visit, openProgress);
  } catch (const std::exception& Error) {
    visit = FailedVisit(visit, Error);
    error = std::current_exception();
  }
  QMetaObject::invokeMethod(
      this, [this, key = Order.Key, id = Order.JournalId, visit, error] { Ended(key, id, visit, error); }, Qt::QueuedConnection);
}

void TParallelRun::Ended(const QString& Key, qint64 JournalId, const TVisit& Visit, std::exception_ptr Error) {
  --Running;
  ++Done;
  const auto worker = Workers.find(Key);
  worker->second->wait();  // its last step was to post this: it ends at once
  Workers.erase(worker);
  Journal.VisitEnded(JournalId, Visit);
  if (Error) {
    Stopped = true;  // as the serial run stops at such a row
    if (!Failure) Failure = Error;
  }
  HandOut();
}

void TParallelRun::ShowState() {
  Status.SetStatusText(QStringLiteral("%1 readers at work, %2 of %3 done").arg(Running).arg(Done).arg(Total));
  if (Progress) Progress->setWindowTitle(QStringLiteral("Downloading Logs (%1 readers at work)").arg(Running));
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
