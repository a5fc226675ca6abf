#include "StopSignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace {

int Pipe[2] = {-1, -1};

void WriteStopByte(int) {
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
  Notifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
  QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(), [OnStop = std::move(OnStop)] {
    char drained[16];
    while (::read(Pipe[0], drained, sizeof drained) > 0) {
    }
    OnStop();
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
