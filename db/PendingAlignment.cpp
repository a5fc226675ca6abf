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

// Oldest pending with the oldest unused record of its card that the offset puts within reach.
TAlignment PairAt(qint64 Offset, const std::vector<TNewLogRecord>& Log, const std::vector<TPendingEvent>& Pending,
                  const TCardRecords& ByCard) {
  TAlignment alignment{Offset, {}};
  std::map<int, std::size_t> used;  // card: how many of its records are behind the last pairing
  for (std::size_t j = 0; j < Pending.size(); ++j) {
    const auto found = ByCard.find(Pending[j].CardNo);
    if (found == ByCard.end()) continue;
    const std::vector<std::size_t>& records = found->second;
    for (std::size_t k = used[Pending[j].CardNo]; k < records.size(); ++k) {
      const qint64 off = Log[records[k]].TimeSeconds - Offset - Pending[j].ArrivalSeconds;
      if (off > AlignmentToleranceSeconds) break;
      if (off < -AlignmentToleranceSeconds) continue;
      alignment.Pairs.emplace_back(records[k], j);
      alignment.DeviationSeconds += std::llabs(off);
      used[Pending[j].CardNo] = k + 1;
      break;
    }
  }
  return alignment;
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
  const std::vector<qint64> offsets = CandidateOffsets(Log, Pending, byCard);
  std::optional<TAlignment> best;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (i > 0 && offsets[i] == offsets[i - 1]) continue;
    TAlignment tried = PairAt(offsets[i], Log, Pending, byCard);
    if (!best || Better(tried, *best)) best = std::move(tried);
  }
  if (!best || best->Pairs.empty()) return std::nullopt;
  return best;
}
