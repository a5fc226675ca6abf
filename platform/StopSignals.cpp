#include "StopSignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>

namespace {

int Pipe[2] = {-1, -1};
std::atomic<bool> Arrived{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set in a signal handler");

void WriteStopByte(int) {
  Arrived = true;
  const int saved = errno;
  const char stop = 1;
  (void)!::write(Pipe[1], &stop, 1);
  errno = saved;
}

void Handle(int Signal, void (*Handler)(int)) {
  struct sigaction action{};
  action.sa_handler = Handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(Signal, &action, nullptr);
}

}  // namespace

TStopSignals::TStopSignals(std::function<void()> OnStop) {
  if (::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  Arrived = false;
  Notifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
  QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(), [OnStop = std::move(OnStop)] {
    char drained[16];
    while (::read(Pipe[0], drained, sizeof drained) > 0) {
    }
    if (OnStop) OnStop();
  });
  Handle(SIGTERM, WriteStopByte);
  Handle(SIGINT, WriteStopByte);
}

TStopSignals::~TStopSignals() {
  Handle(SIGTERM, SIG_DFL);
  Handle(SIGINT, SIG_DFL);
  Notifier.reset();
  ::close(Pipe[0]);
  ::close(Pipe[1]);
  Pipe[0] = Pipe[1] = -1;
}

bool TStopSignals::Given() const {
  return Arrived;
}

int TStopSignals::Descriptor() const {
  return Pipe[0];
}
