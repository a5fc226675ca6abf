#include "WalkStart.h"

namespace {

bool Holds(const TLogPage* Page, int Slot, const QByteArray& Bytes) {
  return Page != nullptr && Slot < Page->Count && Page->SlotBytes(Slot) == Bytes;
}

bool InLog(const TKeptLog& Kept) {
  return Kept.Page >= 0 && Kept.Page < LogPageCount && Kept.Slot >= 0 && Kept.Slot < TLogPage::Slots;
}

}  // namespace

// Fewer records or another mark: the log was cleared since, or is another reader's. A page 0
// that begins otherwise was refilled or has wrapped; a remembered slot that reads otherwise, or
// is gone, was overwritten.
int WalkStart(const TKeptLog& Kept, const TCapacity& Now, const std::function<const TLogPage*(int Page)>& ReadPage) {
  if (Now.RecordCount < Kept.RecordCount || Now.LogMark != Kept.LogMark || !InLog(Kept)) return 0;
  const TLogPage* first = ReadPage(0);
  if (!Holds(first, 0, Kept.FirstSlot)) return 0;
  const TLogPage* last = Kept.Page == 0 ? first : ReadPage(Kept.Page);
  return Holds(last, Kept.Slot, Kept.LastSlot) ? Kept.Page : 0;
}
