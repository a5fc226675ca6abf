#include "Wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

TWakeup::TWakeup() : EventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (EventFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TWakeup::~TWakeup() {
  ::close(EventFd);
}

void TWakeup::Give() {
  const std::uint64_t one = 1;
  (void)!::write(EventFd, &one, sizeof one);
}

void TWakeup::Take() {
  std::uint64_t count = 0;
  (void)!::read(EventFd, &count, sizeof count);  // EAGAIN: not given, nothing to take
}

bool TWakeup::Given() const {
  return Wait(0) == TWaitEnd::Woken;
}

TWakeup::TWaitEnd TWakeup::Wait(int TimeoutMs, int Fd) const {
  pollfd fds[2] = {{EventFd, POLLIN, 0}, {Fd, POLLIN, 0}};
  int ready = 0;
  do {
    ready = ::poll(fds, Fd >= 0 ? 2 : 1, TimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return TWaitEnd::Timeout;
  if (fds[0].revents != 0) return TWaitEnd::Woken;
  return TWaitEnd::Readable;
}
