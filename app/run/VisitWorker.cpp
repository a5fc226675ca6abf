#include "VisitWorker.h"

#include <QThread>

#include "Reader.h"
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
  TReader reader(nullptr);
  TReaderPass pass(reader, Store, Status, OpenProgress);
  Ended(Order, VisitReader(pass, reader, Order.Row, Order.Visit, Order.JournalId));
}
