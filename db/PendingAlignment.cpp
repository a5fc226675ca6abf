#include "PendingAlignment.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

using TCardRecords = std::map<int, std::vector<std::size_t>>;  // card: its records' indices, in log order

// Every offset a pair of one card would take, sorted.
std::vector<qint64> CandidateOffsets(const std::vector<TNewLogRecord>& Log, const std::vector<TPendingEvent>& Pending,
                                     const TCardRecords& ByCard) {
  std::vector<qint64> offsets;
  for (const TPendingEvent& event : Pending) {
    const auto found = ByCard.find(event.CardNo);
    if (found == ByCard.end()) continue;
    for (const std::size_t index : found->second) offsets.push_back(Log[index].TimeSeconds - event.ArrivalSeconds);
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

// Oldest pending with the oldest unused record of its card that the offset puts within reach. A
// record too early for one event is too early for every later one: it is passed for good, so a
// try costs one sweep of both lists.
TAlignment PairAt(qint64 Offset, const std::vector<TNewLogRecord>& Log, const std::vector<TPendingEvent>& Pending,
                  const TCardRecords& ByCard) {
  TAlignment alignment{Offset, {}};
  std::map<int, std::size_t> next;  // card: its first record not passed
  for (std::size_t j = 0; j < Pending.size(); ++j) {
    const auto found = ByCard.find(Pending[j].CardNo);
    if (found == ByCard.end()) continue;
    const std::vector<std::size_t>& records = found->second;
    std::size_t& k = next[Pending[j].CardNo];
    const auto off = [&](std::size_t Index) { return Log[records[Index]].TimeSeconds - Offset - Pending[j].ArrivalSeconds; };
    while (k < records.size() && off(k) < -AlignmentToleranceSeconds) ++k;
    if (k == records.size() || off(k) > AlignmentToleranceSeconds) continue;
    alignment.Pairs.emplace_back(records[k], j);
    alignment.DeviationSeconds += std::llabs(off(k));
    ++k;
  }
  return alignment;
}

// Each distinct offset with how many candidates lie within reach of it: no more can pair there.
std::vector<std::pair<std::size_t, qint64>> OffsetsByReach(const std::vector<qint64>& Sorted) {
  std::vector<std::pair<std::size_t, qint64>> reach;
  for (std::size_t i = 0; i < Sorted.size(); ++i) {
    if (i > 0 && Sorted[i] == Sorted[i - 1]) continue;
    const auto low = std::lower_bound(Sorted.begin(), Sorted.end(), Sorted[i] - AlignmentToleranceSeconds);
    const auto high = std::upper_bound(Sorted.begin(), Sorted.end(), Sorted[i] + AlignmentToleranceSeconds);
    reach.emplace_back(static_cast<std::size_t>(high - low), Sorted[i]);
  }
  std::stable_sort(reach.begin(), reach.end(), [](const auto& A, const auto& B) { return A.first > B.first; });
  return reach;
}

bool Better(const TAlignment& A, const TAlignment& B) {
  if (A.Pairs.size() != B.Pairs.size()) return A.Pairs.size() > B.Pairs.size();
  if (A.DeviationSeconds != B.DeviationSeconds) return A.DeviationSeconds < B.DeviationSeconds;
  return std::llabs(A.OffsetSeconds) < std::llabs(B.OffsetSeconds);
}

}  // namespace

// Offsets that pair as many are told apart by how closely they pair, then by the nearer to this
// computer's clock: most readers keep time, and a card swiped while the line was down is then
// not taken for a live event's.
std::optional<TAlignment> AlignPending(const std::vector<TNewLogRecord>& Log, const std::vector<TPendingEvent>& Pending) {
  TCardRecords byCard;
  for (std::size_t i = 0; i < Log.size(); ++i) byCard[Log[i].CardNo].push_back(i);
  std::optional<TAlignment> best;
  // Offsets in order of what they could pair at most: once that is below the best found, no
  // offset left can match it.
  for (const auto& [reach, offset] : OffsetsByReach(CandidateOffsets(Log, Pending, byCard))) {
    if (best && reach < best->Pairs.size()) break;
    TAlignment tried = PairAt(offset, Log, Pending, byCard);
    if (!best || Better(tried, *best)) best = std::move(tried);
  }
  if (!best || best->Pairs.empty()) return std::nullopt;
  return best;
}
