#include "Commands.h"

#include "Reader.h"

#include <algorithm>

namespace {

constexpr int CapacityCountOffset = 6;
constexpr int CapacityMarkOffset = 4;
constexpr int SlotOffset = 5;

QByteArray WithWord(const char* HexPrefix, std::uint16_t Word) {
  QByteArray payload = QByteArray::fromHex(HexPrefix);
  payload.append(static_cast<char>(Word & 0xFF)).append(static_cast<char>(Word >> 8));
  return payload;
}

std::uint16_t WordAt(const std::uint8_t* Bytes, int Pos) {
  return static_cast<std::uint16_t>(Bytes[Pos] | Bytes[Pos + 1] << 8);
}

}  // namespace

QByteArray LockPayload(bool Locked) {
  return QByteArray::fromHex(Locked ? "0000011027" : "0000001027");
}

QByteArray OptionsPayload() {
  return QByteArray::fromHex("00080480");
}

QByteArray CapacityPayload() {
  return QByteArray::fromHex("000300");
}

QByteArray PagePayload(int PageIndex) {
  return WithWord("000a00", static_cast<std::uint16_t>(PageIndex));
}

QByteArray ClearPayload(std::uint16_t LogMark) {
  return WithWord("000500", LogMark);
}

TCapacity CapacityOf(const std::uint8_t* Reply) {
  return {WordAt(Reply, CapacityCountOffset), WordAt(Reply, CapacityMarkOffset)};
}

TLogPage PageOf(const std::uint8_t* Reply) {
  TLogPage page;
  for (; page.Count < TLogPage::Slots; ++page.Count) {
    const std::uint8_t* slot = Reply + SlotOffset + LogRecordSize * page.Count;
    if (!SlotCheck(slot, page.Count)) break;
    std::copy_n(slot, LogRecordSize, page.Bytes.begin() + LogRecordSize * page.Count);
    TLogRecord record;
    if (DecodeRecord(slot, record)) page.Records[static_cast<std::size_t>(page.Count)] = record;
  }
  return page;
}
