#include "LiveEvent.h"

#include "LogDatabase.h"

namespace {

// The short form has no mode: it is stored as "other", as a log record of an unknown mode is.
constexpr int ModeOfShortForm = 0;

}  // namespace

TLiveStored StoreLiveEvent(TWriteTransaction& Transaction, const TLiveEvent& Event, const QString& Reader, bool AwaitLogCopy) {
  if (Event.Stamp <= 0) return TLiveStored::Invalid;
  if (Transaction.RecordExists(Event.Stamp, Event.CardNo)) return TLiveStored::Duplicate;
  const bool shortForm = Event.Mode < 0;
  Transaction.StoreRecord(Event.Stamp, Event.CardNo, Reader, shortForm ? ModeOfShortForm : Event.Mode);
  if (shortForm && AwaitLogCopy) Transaction.AwaitLogCopy(Event.Stamp, Event.CardNo, Event.Identity);
  return TLiveStored::Added;
}
