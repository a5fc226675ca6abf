#pragma once

#include <QString>

#include <functional>
#include <memory>

#include "DownloadProgress.h"
#include "LogDatabase.h"
#include "ReaderVisit.h"

class QThread;

// A readers row handed to a visit of its own.
struct TVisitOrder {
  QString Key;  // the reader's identity: one visit per reader at a time
  qint64 JournalId = -1;
  TVisit Visit;
  TReaderRow Row;
};

// One visit in a thread of its own, holding only what a visit may touch: the shared store,
// written only inside its write transactions, a way to open its progress, and a way to post its
// end back. Both callbacks run in the visit's thread. The thread is joined when the worker goes.
class TVisitWorker {
 public:
  using TEnded = std::function<void(const TVisitOrder&, const TVisitEnd&)>;
  TVisitWorker(TLogDatabase& Store, TProgressOpener OpenProgress, TVisitOrder Order, TEnded Ended);
  ~TVisitWorker();
  TVisitWorker(const TVisitWorker&) = delete;
  TVisitWorker& operator=(const TVisitWorker&) = delete;

 private:
  void Visit() const;

  TLogDatabase& Store;
  TProgressOpener OpenProgress;
  TVisitOrder Order;
  TEnded Ended;
  std::unique_ptr<QThread> Thread;
};
