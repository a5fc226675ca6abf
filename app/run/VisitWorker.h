#pragma once

#include <QString>

#include <functional>
#include <memory>

#include "LogDatabase.h"
#include "ReaderVisit.h"
#include "StopToken.h"

class QThread;
class TPassObserver;

// A readers row handed to a visit of its own.
struct TVisitOrder {
  QString Key;  // the reader's identity: one visit per reader at a time
  qint64 JournalId = -1;
  int BoardRow = -1;  // its row in the readers window
  TVisit Visit;
  TReaderRow Row;
};

// One visit in a thread of its own, holding only what a visit may touch: the shared store,
// written only inside its write transactions, its row's observer, and a way to post its end
// back. All of them are called in the visit's thread, and must only post. The thread is joined when the worker goes.
class TVisitWorker {
 public:
  using TEnded = std::function<void(const TVisitOrder&, const TVisitEnd&)>;
  TVisitWorker(TLogDatabase& Store, TPassObserver& Observer, TVisitOrder Order, TStopToken Stop, TEnded Ended);
  ~TVisitWorker();
  TVisitWorker(const TVisitWorker&) = delete;
  TVisitWorker& operator=(const TVisitWorker&) = delete;

 private:
  void Visit() const;

  TLogDatabase& Store;
  TPassObserver& Observer;
  TVisitOrder Order;
  TStopToken Stop;
  TEnded Ended;
  std::unique_ptr<QThread> Thread;
};
