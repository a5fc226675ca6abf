#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace readersim {

// One event in the emulated reader's memory.
struct SimRecord {
  std::uint8_t ModeBits = 0;   // the two top bits of byte 0: 00 in, 01 out, 10/11 other
  std::uint32_t Card = 0;      // 24 bits
  std::int32_t TimeCode = 0;   // the reader's packed time; 0 or negative is no valid time
  bool BadSlotCheck = false;   // byte 0 does not carry the slot number: the log reads as ending here
};

std::int32_t TimeCode(int Year, int Month, int Day, int Hour, int Minute, int Second);
// The computer's local time now, as the reader's clock would give it.
std::int32_t TimeCodeNow();

// The 8 bytes of a record as the reader stores them in slot Slot of a page.
std::array<std::uint8_t, 8> RecordBytes(const SimRecord& Record, int Slot);

// A plausible day of badge events: Count records from a start time, cards and modes varied.
std::vector<SimRecord> SampleLog(int Count, std::uint32_t Seed);

}  // namespace readersim
