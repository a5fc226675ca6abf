#pragma once

#include <QtGlobal>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

// A short live event awaiting its log copy: its row, card, and arrival on this computer's clock.
struct TPendingEvent {
  qint64 Record = 0;
  int CardNo = 0;
  qint64 ArrivalSeconds = 0;
};

// A record a walk of the reader's log found new, on the reader's clock.
struct TNewLogRecord {
  int CardNo = 0;
  qint64 TimeSeconds = 0;
};

struct TAlignment {
  qint64 OffsetSeconds = 0;  // the reader's clock less this computer's
  std::vector<std::pair<std::size_t, std::size_t>> Pairs;  // (index in the log, index in pending)
  qint64 DeviationSeconds = 0;  // how far the pairs lie from the offset, in all
};

// How far a log time may lie from its event's arrival once the offset is taken off: the event
// reaches us within the second it is logged, and both times are cut to the second.
constexpr qint64 AlignmentToleranceSeconds = 2;

// Pairs a reader's pending events with the records a walk found new, taking the reader's clock
// as steady within the walk, however far off: each pending event's card must be logged at its
// arrival plus one offset. The offset that pairs the most events is taken; each card pairs in
// order, oldest with oldest. Both lists are in order: the log as walked, the pending by
// arrival. Empty when no offset pairs any.
std::optional<TAlignment> AlignPending(const std::vector<TNewLogRecord>& Log, const std::vector<TPendingEvent>& Pending);
