#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "WalkStart.h"

namespace {

// A page of Count slots whose bytes name their log, page and slot.
TLogPage Page(char Log, int Index, int Count = TLogPage::Slots) {
  TLogPage page;
  page.Count = Count;
  for (int slot = 0; slot < Count; ++slot) {
    for (int byte = 0; byte < LogRecordSize; ++byte) {
      page.Bytes[static_cast<std::size_t>(slot * LogRecordSize + byte)] = static_cast<std::uint8_t>(Log + Index + slot * 7 + byte);
    }
  }
  return page;
}

// Remembered: a log 'a' of 200 records, mark 7, whose walk ended at slot 10 of page 5.
TKeptLog Kept() {
  TKeptLog kept;
  kept.Page = 5;
  kept.Slot = 10;
  kept.FirstSlot = Page('a', 0).SlotBytes(0);
  kept.LastSlot = Page('a', 5).SlotBytes(10);
  kept.RecordCount = 200;
  kept.LogMark = 7;
  return kept;
}

// The log may be walked on from the remembered page only when both pages still read as they
// did and the capacity answer allows it; anything else, or a page that could not be read, walks
// it whole. Pages are read only as far as the log still matches.
TEST(WalkStart, TheLogIsWalkedOnOnlyWhenItIsTheOneRemembered) {
  const TKeptLog kept = Kept();
  TKeptLog onFirstPage = kept;
  onFirstPage.Page = 0;
  onFirstPage.LastSlot = Page('a', 0).SlotBytes(10);
  TKeptLog madeByHand = kept;
  madeByHand.Page = LogPageCount;
  const struct {
    const char* Name;
    TKeptLog Kept;
    TCapacity Now;
    std::map<int, TLogPage> Pages;  // a page missing here fails
    int Start;
    std::vector<int> Read;
  } cases[] = {
      {"unchanged, 40 records more", kept, {240, 7}, {{0, Page('a', 0)}, {5, Page('a', 5)}}, 5, {0, 5}},
      {"unchanged, nothing new", kept, {200, 7}, {{0, Page('a', 0)}, {5, Page('a', 5, 11)}}, 5, {0, 5}},
      {"cleared since", kept, {0, 8}, {}, 0, {}},
      {"cleared and refilled to the same count", kept, {200, 7}, {{0, Page('b', 0)}, {5, Page('b', 5)}}, 0, {0}},
      {"wrapped: page 0 moved on", kept, {200, 7}, {{0, Page('a', 1)}, {5, Page('a', 6)}}, 0, {0}},
      {"page 0 changed alone", kept, {240, 7}, {{0, Page('b', 0)}, {5, Page('a', 5)}}, 0, {0}},
      {"the remembered slot changed", kept, {240, 7}, {{0, Page('a', 0)}, {5, Page('b', 5)}}, 0, {0, 5}},
      {"the remembered slot is gone", kept, {240, 7}, {{0, Page('a', 0)}, {5, Page('a', 5, 10)}}, 0, {0, 5}},
      {"record count lower", kept, {199, 7}, {{0, Page('a', 0)}, {5, Page('a', 5)}}, 0, {}},
      {"log mark changed", kept, {240, 8}, {{0, Page('a', 0)}, {5, Page('a', 5)}}, 0, {}},
      {"page 0 failed", kept, {240, 7}, {{5, Page('a', 5)}}, 0, {0}},
      {"the remembered page failed", kept, {240, 7}, {{0, Page('a', 0)}}, 0, {0, 5}},
      {"remembered on page 0: read once", onFirstPage, {240, 7}, {{0, Page('a', 0)}}, 0, {0}},
      {"a page past the log's end", madeByHand, {240, 7}, {{0, Page('a', 0)}}, 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<int> read;
    const int start = WalkStart(c.Kept, c.Now, [&](int Index) -> const TLogPage* {
      read.push_back(Index);
      const auto page = c.Pages.find(Index);
      return page != c.Pages.end() ? &page->second : nullptr;
    });
    EXPECT_EQ(start, c.Start) << c.Name;
    EXPECT_EQ(read, c.Read) << c.Name;
  }
}

}  // namespace
