#include "PassObserver.h"

#include <cstddef>
#include <iterator>

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

namespace {

constexpr const char* StepNames[] = {"locking", "setting_options", "reading_capacity", "downloading",
                                     "clearing", "unlocking", "no_response"};
static_assert(std::size(StepNames) == static_cast<std::size_t>(TPassStep::NoResponse) + 1, "a name per step");

}  // namespace

QString StepName(TPassStep Step) {
  return QString::fromLatin1(StepNames[static_cast<std::size_t>(Step)]);
}

std::optional<TPassStep> StepNamed(const QString& Name) {
  for (std::size_t step = 0; step < std::size(StepNames); ++step) {
    if (Name == QLatin1String(StepNames[step])) return static_cast<TPassStep>(step);
  }
  return std::nullopt;
}
