#include "VisitWorker.h"

#include <QThread>

#include "Reader.h"
#include "ReaderPass.h"
#include "StatusLine.h"

namespace {

// A visit's own status texts would flicker unread among twenty: the windows show the totals.
class TSilentStatus final : public IStatusLine {
 public:
  void SetStatusText(const QString&) override {}
  void SetStatusVisible(bool) override {}
};

}  // namespace

TVisitWorker::TVisitWorker(TLogDatabase& AStore, TProgressOpener AOpenProgress, TVisitOrder AOrder, TEnded AEnded)
    : Store(AStore), OpenProgress(std::move(AOpenProgress)), Order(std::move(AOrder)), Ended(std::move(AEnded)) {
  Thread.reset(QThread::create([this] { Visit(); }));
  Thread->start();
}

TVisitWorker::~TVisitWorker() {
  Thread->wait();
}

void TVisitWorker::Visit() const {
  TReader reader(nullptr);
  TSilentStatus status;
  TReaderPass pass(reader, Store, status, OpenProgress);
  Ended(Order, VisitReader(pass, reader, Order.Row, Order.Visit, Order.JournalId));
}
