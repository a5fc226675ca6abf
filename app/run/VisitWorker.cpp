#include "VisitWorker.h"

#include <QThread>

#include "ReaderLink.h"
#include "ReaderPass.h"

TVisitWorker::TVisitWorker(TLogDatabase& AStore, IStatusLine& AStatus, TProgressOpener AOpenProgress, TVisitOrder AOrder,
                           TEnded AEnded)
    : Store(AStore), Status(AStatus), OpenProgress(std::move(AOpenProgress)), Order(std::move(AOrder)), Ended(std::move(AEnded)) {
  Thread.reset(QThread::create([this] { Visit(); }));
  Thread->start();
}

TVisitWorker::~TVisitWorker() {
  Thread->wait();
}

void TVisitWorker::Visit() const {
  TReaderLink link;
  TReaderPass pass(link, Store, Status, OpenProgress);
  Ended(Order, VisitReader(pass, link, Order.Row, Order.Visit, Order.JournalId));
}
