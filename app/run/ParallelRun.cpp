#include "ParallelRun.h"

#include <QEventLoop>

#include "Errors.h"
#include "LogDatabase.h"
#include "ReaderPass.h"
#include "ReaderVisit.h"
#include "RunDisplay.h"
#include "RunJournal.h"

TParallelRun::TParallelRun(TLogDatabase& ADb, const std::vector<TReaderEntry>& AReaders, TRunJournal& AJournal, IRunDisplay& ADisplay,
                           int AJobs, TStopToken AStop)
    : Db(ADb), Readers(AReaders), Journal(AJournal), Display(ADisplay), Jobs(AJobs), Stop(std::move(AStop)) {}

TParallelRun::~TParallelRun() = default;

void TParallelRun::Run() {
  Store = std::make_unique<TLogDatabase>();
  Store->OpenDatabase(Db.DatabasePath());
  Board = Display.OpenBoard(Readers);
  QEventLoop loop;
  Loop = &loop;
  HandOut();
  if (!Workers.empty()) loop.exec();
  Loop = nullptr;
  Board.reset();
  if (Failure) std::rethrow_exception(Failure);
}

void TParallelRun::HandOut() {
  while (static_cast<int>(Workers.size()) < Jobs && !Stopped && !Stop.Given() && HandOutNext()) {
  }
  if (Workers.empty() && Loop != nullptr) Loop->quit();
}

// The next row in table order, unless its reader is still being visited by an earlier row,
// under whatever text: a reader takes one connection, so that row waits, and the rows behind it.
bool TParallelRun::HandOutNext() {
  if (HandedOut == Readers.size()) return false;
  const TReaderEntry& entry = Readers[HandedOut];
  TVisitOrder order;
  order.Visit = EntryVisit(entry);
  order.Key = entry.Identity;
  if (Workers.count(order.Key) != 0) return false;
  order.JournalId = Journal.VisitStarted(order.Visit);
  ++HandedOut;
  if (entry.Verdict == TRowVerdict::Unreadable || entry.Verdict == TRowVerdict::PortOutOfRange) {
    Refuse(entry, order.JournalId);
  } else {
    order.Row = *entry.Values;
    order.BoardRow = Board->StartNext();
    Start(std::move(order));
  }
  return true;
}

// A row that is not usable is that row's failure alone: the rows after it are visited.
void TParallelRun::Refuse(const TReaderEntry& Entry, qint64 JournalId) {
  const TVisit refused = RefusedVisit(Entry);
  Journal.VisitEnded(JournalId, refused);
  Board->Ended(Board->StartNext(), refused);
}

void TParallelRun::Start(TVisitOrder Order) {
  const QString key = Order.Key;
  TPassObserver& observer = Board->ObserverOf(Order.BoardRow);
  Workers[key] = std::make_unique<TVisitWorker>(*Store, observer, std::move(Order), Stop,
                                                [this](const TVisitOrder& Ordered, const TVisitEnd& End) {
                                                  QMetaObject::invokeMethod(
                                                      this, [this, Ordered, End] { Ended(Ordered, End); }, Qt::QueuedConnection);
                                                });
}

void TParallelRun::Ended(const TVisitOrder& Order, const TVisitEnd& End) {
  Workers.erase(Order.Key);  // its last step was to post this: it ends at once
  Journal.VisitEnded(Order.JournalId, End.Visit);
  Board->Ended(Order.BoardRow, End.Visit);
  // The database failing stops the run, as it stops the serial run.
  if (End.Stop) {
    Stopped = true;
    if (!Failure) Failure = End.Stop;
  }
  HandOut();
}
