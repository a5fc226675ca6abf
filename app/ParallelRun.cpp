#include "ParallelRun.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

#include "Errors.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "ReaderBoard.h"
#include "ReaderPass.h"
#include "RunJournal.h"

namespace {

// One visit, start to end, in the calling thread.
TVisit VisitReader(TLogDatabase& Store, const TReaderRow& Row, const TVisit& Visit, IStatusLine& Status,
                   TProgressOpener OpenProgress) {
  TReader reader(nullptr);
  TReaderPass pass(reader, Store, Status, std::move(OpenProgress));
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
  int BoardRow = -1;
  TVisit Visit;
  TReaderRow Row;
};

TParallelRun::TParallelRun(TLogDatabase& Db, TRunJournal& Journal, QWidget& Owner, int Jobs)
    : Db(Db), Journal(Journal), Owner(Owner), Jobs(Jobs) {}

TParallelRun::~TParallelRun() = default;

void TParallelRun::Run() {
  Store = std::make_unique<TLogDatabase>();
  if (!Store->OpenDatabase(QFileInfo(Db.DatabasePath()).absolutePath())) throw EDatabaseError(Store->OpenFailure().toStdString());
  Board = std::make_unique<TReaderBoard>(Db, Owner);
  QEventLoop loop;
  Loop = &loop;
  HandOut();
  if (Running > 0) loop.exec();
  Loop = nullptr;
  Board.reset();
  if (Failure) std::rethrow_exception(Failure);
}

void TParallelRun::HandOut() {
  while (Running < Jobs && !Stopped && HandOutNext()) {
  }
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
    const TVisit failed = FailedVisit(order.Visit, Error);
    Journal.VisitEnded(order.JournalId, failed);
    Board->Ended(Board->StartNext(), failed);
    Failure = std::current_exception();
    Stopped = true;
    return false;
  }
  Db.NextReader();
  order.BoardRow = Board->StartNext();
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
  TVisit visit = Order.Visit;
  std::exception_ptr error;
  try {
    visit = VisitReader(*Store, Order.Row, Order.Visit, Board->StatusOf(Order.BoardRow), Board->ProgressOf(Order.BoardRow));
  } catch (const std::exception& Error) {
    visit = FailedVisit(visit, Error);
    error = std::current_exception();
  }
  QMetaObject::invokeMethod(
      this, [this, key = Order.Key, id = Order.JournalId, row = Order.BoardRow, visit, error] { Ended(key, id, row, visit, error); },
      Qt::QueuedConnection);
}

void TParallelRun::Ended(const QString& Key, qint64 JournalId, int BoardRow, const TVisit& Visit, std::exception_ptr Error) {
  --Running;
  const auto worker = Workers.find(Key);
  worker->second->wait();  // its last step was to post this: it ends at once
  Workers.erase(worker);
  Journal.VisitEnded(JournalId, Visit);
  Board->Ended(BoardRow, Visit);
  if (Error) {
    Stopped = true;  // as the serial run stops at such a row
    if (!Failure) Failure = Error;
  }
  HandOut();
}
