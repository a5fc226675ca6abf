// readersim: an emulated card reader for trying Quillmere without hardware.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReaderSim.h"

namespace {

volatile std::sig_atomic_t StopRequested = 0;
volatile std::sig_atomic_t CardsRequested = 0;

void RequestStop(int) {
  StopRequested = 1;
}

void RequestCard(int) {
  CardsRequested = CardsRequested + 1;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: readersim [--port N] [--readers N] [--records N] [--seed N] [--chaos N] [FAULT]...\n"
               "  Serves an emulated card reader on 127.0.0.1 until interrupted.\n"
               "  --port N     TCP port (default 0: any free port, printed on start)\n"
               "  --readers N  serve N readers, 1 to 10000, each on a port of its own (from --port on, one\n"
               "               after another, or any free ones), one line each on start; reader i\n"
               "               varies its log by --seed plus i\n"
               "  --records N  log records to hold, 0 to 65535 (default 300)\n"
               "  --seed N     varies the sample log (default 1)\n"
               "  --chaos N    drop, corrupt, delay and cut replies at random, seeded by N\n"
               "  FAULT        one of --silent, --stream, --trickle, --garbage, --truncated,\n"
               "               --oversized, --all-ff: misbehave that way on every reply;\n"
               "               --blackhole: never complete a connect\n"
               "  --stream-bytes HEX    send these bytes over and over without end, answer nothing\n"
               "  --status-every MS     send status \"C\" (set my clock) this often while connected\n"
               "  --reply-delay MS      answer every command this late\n"
               "  --command-delay HH=MS answer command byte HH (hex) this late\n"
               "  --gone-after N        at command N (from 0) close and refuse every later connection\n"
               "  --event-every MS      a live card event this often while connected and unlocked (also logged)\n"
               "  --short-events        live events in the 6-byte form, without time or mode\n"
               "  --wrap-at N           the log holds N records; a new one overwrites the oldest\n"
               "  SIGUSR1 presents one card at once at every reader: a live event, also logged.\n");
  std::exit(2);
}

long Number(const char* Text, long Low, long High, int Base = 10) {
  char* end = nullptr;
  const long value = std::strtol(Text, &end, Base);
  if (end == Text || *end != '\0' || value < Low || value > High) Usage();
  return value;
}

std::vector<std::uint8_t> HexBytes(const std::string& Text) {
  if (Text.empty() || Text.size() % 2 != 0) Usage();
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < Text.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(Number(Text.substr(i, 2).c_str(), 0, 255, 16)));
  }
  return bytes;
}

void TakeCommandDelay(const std::string& Text, readersim::SimFaults& Faults) {
  const std::size_t equals = Text.find('=');
  if (equals != 2) Usage();
  const auto command = static_cast<std::uint8_t>(Number(Text.substr(0, 2).c_str(), 0, 255, 16));
  Faults.ReplyDelayMsFor[command] = static_cast<int>(Number(Text.substr(3).c_str(), 0, 3600000));
}

bool TakeFault(const std::string& Option, readersim::SimFaults& Faults) {
  using Mangling = readersim::SimFaults::Mangling;
  if (Option == "--silent") {
    Faults.Silent = true;
  } else if (Option == "--blackhole") {
    Faults.Blackhole = true;
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
  } else if (Option == "--short-events") {
    Faults.ShortEvents = true;
  } else {
    return false;
  }
  return true;
}

// Each emulated reader holds a listener and a wake-up pipe: thousands need more than the usual 1,024.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

void StartReaders(std::vector<std::unique_ptr<readersim::ReaderSim>>& Sims, long Count, long FirstPort, long Records, long Seed,
                  const readersim::SimFaults& Faults) {
  for (long i = 0; i < Count; ++i) {
    const auto port = static_cast<std::uint16_t>(FirstPort == 0 ? 0 : FirstPort + i);
    Sims.push_back(std::make_unique<readersim::ReaderSim>(
        readersim::SampleLog(static_cast<int>(Records), static_cast<std::uint32_t>(Seed + i)), Faults, port));
    std::printf("readersim listening on 127.0.0.1:%u with %ld records\n", Sims.back()->Port(), Records);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  long port = 0;
  long readers = 1;
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
    } else if (option == "--readers") {
      readers = Number(value, 1, 10000);
    } else if (option == "--records") {
      records = Number(value, 0, 65535);
    } else if (option == "--seed") {
      seed = Number(value, 0, 0x7FFFFFFF);
    } else if (option == "--chaos") {
      faults.ChaosSeed = static_cast<std::uint32_t>(Number(value, 1, 0x7FFFFFFF));
    } else if (option == "--stream-bytes") {
      faults.StreamForever = true;
      faults.StreamBytes = HexBytes(value);
    } else if (option == "--status-every") {
      faults.StatusEveryMs = static_cast<int>(Number(value, 1, 3600000));
    } else if (option == "--event-every") {
      faults.EventEveryMs = static_cast<int>(Number(value, 1, 3600000));
    } else if (option == "--reply-delay") {
      faults.ReplyDelayMs = static_cast<int>(Number(value, 0, 3600000));
    } else if (option == "--wrap-at") {
      faults.WrapAt = static_cast<std::size_t>(Number(value, 1, 65535));
    } else if (option == "--gone-after") {
      faults.GoneAfter = static_cast<int>(Number(value, 0, 0x7FFFFFFF));
    } else if (option == "--command-delay") {
      TakeCommandDelay(value, faults);
    } else {
      Usage();
    }
  }
  if (port != 0 && port + readers - 1 > 65535) Usage();
  if (seed + readers - 1 > 0x7FFFFFFF) Usage();
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  std::signal(SIGUSR1, RequestCard);
  if (readers > 1) RaiseDescriptorLimit();
  std::vector<std::unique_ptr<readersim::ReaderSim>> sims;
  try {
    StartReaders(sims, readers, port, records, seed, faults);
  } catch (const std::runtime_error& Error) {
    std::fprintf(stderr, "%s (after %zu of %ld readers)\n", Error.what(), sims.size(), readers);
    return 1;
  }
  std::fflush(stdout);
  std::uint32_t card = 900000;
  const bool shortEvents = faults.ShortEvents;
  while (StopRequested == 0) {
    pause();
    while (CardsRequested > 0) {
      CardsRequested = CardsRequested - 1;
      for (const auto& sim : sims) sim->PresentCard({{0, card++, readersim::TimeCodeNow(), false}, shortEvents});
    }
  }
  std::size_t left = 0;
  int connections = 0;
  for (const auto& sim : sims) {
    left += sim->LogSize();
    connections += sim->Connections();
  }
  std::printf("readersim: %zu records left, %d connections\n", left, connections);
  return 0;
}
