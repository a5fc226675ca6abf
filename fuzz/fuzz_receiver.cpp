// Feeds arbitrary bytes to the packet receiver in both modes; the first input byte picks
// the mode of each following byte, so mode changes in mid-packet are covered too.
#include <cstddef>
#include <cstdint>

#include "Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  TPacketReceiver receiver;
  const std::uint8_t modes = Data[0];
  for (std::size_t i = 1; i < Size; ++i) {
    const bool pktMode = (modes >> (i % 8)) & 1;
    if (receiver.Feed(Data[i], pktMode) &&
        (receiver.RxLen() > LongReplyLength || receiver.RxState() != TRxState::Hunting)) {
      __builtin_trap();
    }
    if (receiver.RxLen() > RxBufferSize || receiver.RxRemain() > LongReplyLength) __builtin_trap();
  }
  return 0;
}
