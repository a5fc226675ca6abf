// readersim: an emulated card reader for trying Quillmere without hardware.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "ReaderSim.h"

namespace {

volatile std::sig_atomic_t StopRequested = 0;

void RequestStop(int) {
  StopRequested = 1;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: readersim [--port N] [--records N] [--seed N] [--chaos N] [FAULT]\n"
               "  Serves an emulated card reader on 127.0.0.1 until interrupted.\n"
               "  --port N     TCP port (default 0: any free port, printed on start)\n"
               "  --records N  log records to hold, 0 to 65535 (default 300)\n"
               "  --seed N     varies the sample log (default 1)\n"
               "  --chaos N    drop, corrupt, delay and cut replies at random, seeded by N\n"
               "  FAULT        one of --silent, --stream, --trickle, --garbage, --truncated,\n"
               "               --oversized, --all-ff: misbehave that way on every reply\n");
  std::exit(2);
}

long Number(const char* Text, long Low, long High) {
  char* end = nullptr;
  const long value = std::strtol(Text, &end, 10);
  if (end == Text || *end != '\0' || value < Low || value > High) Usage();
  return value;
}

bool TakeFault(const std::string& Option, readersim::SimFaults& Faults) {
  using Mangling = readersim::SimFaults::Mangling;
  if (Option == "--silent") {
    Faults.Silent = true;
  } else if (Option == "--stream") {
    Faults.StreamForever = true;
  } else if (Option == "--trickle") {
    Faults.Trickle = true;
  } else if (Option == "--garbage") {
    Faults.Mangle = Mangling::Garbage;
  } else if (Option == "--truncated") {
    Faults.Mangle = Mangling::Truncated;
  } else if (Option == "--oversized") {
    Faults.Mangle = Mangling::Oversized;
  } else if (Option == "--all-ff") {
    Faults.AllFFPages = true;
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  long port = 0;
  long records = 300;
  long seed = 1;
  readersim::SimFaults faults;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (TakeFault(option, faults)) continue;
    if (i + 1 >= argc) Usage();
    const char* value = argv[++i];
    if (option == "--port") {
      port = Number(value, 0, 65535);
    } else if (option == "--records") {
      records = Number(value, 0, 65535);
    } else if (option == "--seed") {
      seed = Number(value, 0, 0x7FFFFFFF);
    } else if (option == "--chaos") {
      faults.ChaosSeed = static_cast<std::uint32_t>(Number(value, 1, 0x7FFFFFFF));
    } else {
      Usage();
    }
  }
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  readersim::ReaderSim sim(readersim::SampleLog(static_cast<int>(records), static_cast<std::uint32_t>(seed)), faults,
                           static_cast<std::uint16_t>(port));
  std::printf("readersim listening on 127.0.0.1:%u with %ld records\n", sim.Port(), records);
  std::fflush(stdout);
  while (StopRequested == 0) pause();
  std::printf("readersim: %zu records left, %d connections\n", sim.LogSize(), sim.Connections());
  return 0;
}
