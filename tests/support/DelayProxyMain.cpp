// delay_proxy SOCKET DELAY_MS: prints its port, then relays until stopped by a signal.
#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "DelayProxy.h"

int main(int Count, char** Arguments) {
  if (Count != 3) {
    std::fprintf(stderr, "usage: delay_proxy SOCKET DELAY_MS\n");
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  TDelayProxy proxy(QString::fromLocal8Bit(Arguments[1]), std::atoi(Arguments[2]));
  std::printf("%d\n", proxy.Port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  return proxy.Port() != 0 ? 0 : 1;
}
