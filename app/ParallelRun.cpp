#include "ParallelRun.h"

#include <QEventLoop>

#include "Errors.h"
#include "LogDatabase.h"
#include "ReaderBoard.h"
#include "ReaderPass.h"
#include "RunJournal.h"
#include "Sockets.h"

namespace {

constexpr int LookupBoundMs = 5000;

}  // namespace

TParallelRun::TParallelRun(TLogDatabase& ADb, TRunJournal& AJournal, QWidget& AOwner, int AJobs)
    : Db(ADb), Journal(AJournal), Owner(AOwner), Jobs(AJobs) {}

TParallelRun::~TParallelRun() = default;

void TParallelRun::Run() {
  Store = std::make_unique<TLogDatabase>();
  Store->OpenDatabase(Db.DatabasePath());
  Board = std::make_unique<TReaderBoard>(Db, Owner);
  IdentifyReaders();
  QEventLoop loop;
  Loop = &loop;
  HandOut();
  if (!Workers.empty()) loop.exec();
  Loop = nullptr;
  Board.reset();
  if (Failure) std::rethrow_exception(Failure);
}

// Every row's reader looked up side by side before the first visit: a name server that does not
// answer holds the run once, for the bound, not once per row in the window thread.
void TParallelRun::IdentifyReaders() {
  std::vector<std::pair<QByteArray, QByteArray>> peers;
  for (std::size_t row = 0; row < Db.ReaderCount(); ++row) {
    const TVisit visit = RowVisit(Db, row);
    peers.emplace_back(visit.Address.toUtf8(), visit.Port.toUtf8());
  }
  Identities = PeerIdentities(peers, LookupBoundMs);
}

void TParallelRun::HandOut() {
  while (static_cast<int>(Workers.size()) < Jobs && !Stopped && HandOutNext()) {
  }
  if (Workers.empty() && Loop != nullptr) Loop->quit();
}

// The next row in table order, unless its reader is still being visited by an earlier row,
// under whatever text: a reader takes one connection, so that row waits, and the rows behind it.
bool TParallelRun::HandOutNext() {
  if (Db.ReadersAtEnd()) return false;
  TVisitOrder order;
  order.Visit = RowVisit(Db);
  order.Key = Identities.at(HandedOut);
  if (order.Key.isEmpty()) order.Key = order.Visit.Address + ':' + order.Visit.Port;
  if (Workers.count(order.Key) != 0) return false;
  order.JournalId = Journal.VisitStarted(order.Visit);
  try {
    order.Row = Db.ReadReaderRow();
  } catch (const EConvertError& Error) {
    const TVisit failed = FailedVisit(order.Visit, Error);
    Journal.VisitEnded(order.JournalId, failed);
    Board->Ended(Board->StartNext(), failed);
    Failure = RowStop(order.Visit, Error);
    Stopped = true;
    return false;
  }
  Db.NextReader();
  ++HandedOut;
  order.BoardRow = Board->StartNext();
  Start(std::move(order));
  return true;
}

void TParallelRun::Start(TVisitOrder Order) {
  const QString key = Order.Key;
  IStatusLine& status = Board->StatusOf(Order.BoardRow);
  TProgressOpener progress = Board->ProgressOf(Order.BoardRow);
  Workers[key] = std::make_unique<TVisitWorker>(*Store, status, std::move(progress), std::move(Order),
                                                [this](const TVisitOrder& Ordered, const TVisitEnd& End) {
                                                  QMetaObject::invokeMethod(
                                                      this, [this, Ordered, End] { Ended(Ordered, End); }, Qt::QueuedConnection);
                                                });
}

void TParallelRun::Ended(const TVisitOrder& Order, const TVisitEnd& End) {
  Workers.erase(Order.Key);  // its last step was to post this: it ends at once
  Journal.VisitEnded(Order.JournalId, End.Visit);
  Board->Ended(Order.BoardRow, End.Visit);
  if (End.Stop) {
    Stopped = true;  // as the serial run stops at such a row
    if (!Failure) Failure = End.Stop;
  }
  HandOut();
}
