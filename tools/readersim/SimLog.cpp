#include "SimLog.h"

#include <ctime>
#include <random>

namespace readersim {

std::int32_t TimeCode(int Year, int Month, int Day, int Hour, int Minute, int Second) {
  return (((((Year - 2000) * 13 + Month) * 32 + Day) * 24 + Hour) * 60 + Minute) * 60 + Second;
}

std::int32_t TimeCodeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return TimeCode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

std::array<std::uint8_t, 8> RecordBytes(const SimRecord& Record, int Slot) {
  const int check = Record.BadSlotCheck ? (Slot + 1) % 32 : Slot % 32;
  const auto code = static_cast<std::uint32_t>(Record.TimeCode);
  return {static_cast<std::uint8_t>(Record.ModeBits << 6 | check),
          static_cast<std::uint8_t>(Record.Card >> 16),
          static_cast<std::uint8_t>(Record.Card >> 8),
          static_cast<std::uint8_t>(Record.Card),
          static_cast<std::uint8_t>(code),
          static_cast<std::uint8_t>(code >> 8),
          static_cast<std::uint8_t>(code >> 16),
          static_cast<std::uint8_t>(code >> 24)};
}

std::vector<SimRecord> SampleLog(int Count, std::uint32_t Seed) {
  std::mt19937 random(Seed);
  std::uniform_int_distribution<std::uint32_t> card(100000, 100063);
  std::uniform_int_distribution<int> gap(1, 240);
  std::vector<SimRecord> log;
  int day = 1;
  int second = 7 * 3600;
  for (int i = 0; i < Count; ++i) {
    second += gap(random);
    if (second >= 19 * 3600) {
      second = 7 * 3600;
      day = day % 28 + 1;
    }
    const auto mode = static_cast<std::uint8_t>(i % 2);
    log.push_back({mode, card(random), TimeCode(2026, 11, day, second / 3600, second / 60 % 60, second % 60)});
  }
  return log;
}

}  // namespace readersim
