#include "VisitWorker.h"

#include <QThread>

#include "Reader.h"
#include "ReaderPass.h"

TVisitWorker::TVisitWorker(TLogDatabase& AStore, TPassObserver& AObserver, TVisitOrder AOrder, TStopToken AStop, TEnded AEnded)
    : Store(AStore), Observer(AObserver), Order(std::move(AOrder)), Stop(std::move(AStop)), Ended(std::move(AEnded)) {
  Thread.reset(QThread::create([this] { Visit(); }));
  Thread->start();
}

TVisitWorker::~TVisitWorker() {
  Thread->wait();
}

void TVisitWorker::Visit() const {
  TReader link;
  link.StopWaitsWhen([this] { return Stop.Given(); });
  TReaderPass pass(link, Store, Observer, Stop);
  pass.ResumeKeptLogs();
  Ended(Order, VisitReader(pass, link, Order.Row, Order.Visit, Order.JournalId));
}
