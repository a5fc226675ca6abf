#include "ReplyWait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <memory>

#include "Reader.h"

namespace {

// A closed peer stays readable for ever; watching it would wake the loop without end.
bool PeerHasClosed(TReader& Reader) {
  bool readable = false;
  return Reader.PollState(&readable, nullptr, nullptr, 0) && readable && !Reader.WaitReadable(0);
}

std::unique_ptr<QSocketNotifier> WatchSocket(TReader& Reader) {
  if (!Reader.Active()) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(Reader.SocketHandle(), QSocketNotifier::Read);
  QSocketNotifier* raw = notifier.get();
  // Level-triggered: disarm on every wake-up and re-arm once the poll has taken the bytes in.
  QObject::connect(raw, &QSocketNotifier::activated, raw, [raw] { raw->setEnabled(false); });
  return notifier;
}

}  // namespace

bool WaitForReply(TReader& Reader) {
  const std::unique_ptr<QSocketNotifier> notifier = WatchSocket(Reader);
  QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents;
  for (;;) {
    if (Reader.PktTimeout || (Reader.AbandonWaits && Reader.AbandonWaits())) return false;
    if (Reader.ReplyDeadlinePassed()) {
      Reader.ReplyTimeout();
      return false;
    }
    // Nothing awaited and no timer armed: waiting would never end.
    if (!Reader.PktMode && !Reader.PktGood) return false;
    QCoreApplication::processEvents(flags);
    Reader.Poll();
    if (Reader.PktGood) return true;
    if (notifier && !notifier->isEnabled() && !PeerHasClosed(Reader)) notifier->setEnabled(true);
    flags = QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents;
  }
}
