#include "PassObserver.h"

namespace {

class TUnshownProgress final : public IDownloadProgress {
 public:
  void Step() override {}
  void Hide() override {}
};

}  // namespace

void TPassObserver::Reaching(const QString&) {}

void TPassObserver::Stepped(TPassStep) {}

void TPassObserver::ShowStatus(bool) {}

void TPassObserver::Busy(bool) {}

std::unique_ptr<IDownloadProgress> TPassObserver::OpenProgress(int) {
  return std::make_unique<TUnshownProgress>();
}
