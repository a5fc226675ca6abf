#include "ReaderPass.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "Clock.h"
#include "Errors.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "MessageBox.h"
#include "WalkStart.h"

namespace {

constexpr int MaxAttempts = 3;
// Below this, a reader's clock is within what a site would not mend.
constexpr qint64 ClockOffsetWorthSayingSeconds = 60;

QString Span(qint64 Seconds) {
  const qint64 minutes = Seconds / 60;
  if (minutes < 60) return QStringLiteral("%1 min").arg(minutes);
  if (minutes < 48 * 60) return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
  return QStringLiteral("%1 days").arg(minutes / (24 * 60));
}

// What the pairing of live events showed of the reader, once a visit.
void ReportPairing(const QString& Reader, const TWriteTransaction::THeldStored& Stored) {
  if (Stored.ClockOffsetSeconds && std::llabs(*Stored.ClockOffsetSeconds) >= ClockOffsetWorthSayingSeconds) {
    JournalLine(TPriority::Warning, QStringLiteral("%1: the reader's clock is %2 %3 this computer's (its live events were paired "
                                                   "with its log all the same); set clock on for it mends that")
                                        .arg(Reader, Span(std::llabs(*Stored.ClockOffsetSeconds)),
                                             *Stored.ClockOffsetSeconds > 0 ? QStringLiteral("ahead of") : QStringLiteral("behind")));
  }
  if (Stored.Forgotten > 0) {
    JournalLine(TPriority::Warning, QStringLiteral("%1: %2 live events found no copy in the reader's log; they stay as they arrived")
                                        .arg(Reader)
                                        .arg(Stored.Forgotten));
  }
}

// The person waits while it lives, however its scope ends.
class TBusy {
 public:
  explicit TBusy(TPassObserver& AObserver) : Observer(AObserver) { Observer.Busy(true); }
  ~TBusy() { Observer.Busy(false); }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

 private:
  TPassObserver& Observer;
};

// Hides the status and ends the wait however the pass ends.
class TPassEnd {
 public:
  explicit TPassEnd(TPassObserver& AObserver) : Observer(AObserver), Working(AObserver) {}
  ~TPassEnd() { Observer.ShowStatus(false); }
  TPassEnd(const TPassEnd&) = delete;
  TPassEnd& operator=(const TPassEnd&) = delete;

 private:
  TPassObserver& Observer;
  TBusy Working;
};

// A page's last slot, and page 0's first: what the next visit knows the log by.
void Reach(TKeptLog& Place, int Index, const TLogPage& Page, const TCapacity& Reported) {
  if (Page.Count == 0) return;
  if (Index == 0) Place.FirstSlot = Page.SlotBytes(0);
  Place.Page = Index;
  Place.Slot = Page.Count - 1;
  Place.LastSlot = Page.SlotBytes(Place.Slot);
  Place.RecordCount = Reported.RecordCount;
  Place.LogMark = Reported.LogMark;
}

}  // namespace

TReaderPass::TReaderPass(TReader& ALink, TLogDatabase& ADb, TPassObserver& AObserver, TStopToken AStop)
    : Link(ALink), Db(ADb), Observer(AObserver), Stop(std::move(AStop)) {}

bool TReaderPass::ConfigureReader(const QString& Address, const QString& Port) {
  Link.SetAddress(Address, Port);
  const TBusy connecting(Observer);
  QCoreApplication::processEvents();
  // A stop given by now leaves the reader uncontacted.
  return !Stop.Given() && Link.Connect();
}

template <class TSend>
auto TReaderPass::SendWithRetry(const QString& Command, TSend Send) -> decltype(Send()) {
  for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
    ServeClockRequest();
    auto reply = Send();
    if (reply) return reply;
    if (reply.Failure() == TLinkFailure::Stopped) {
      if (GoOn()) Fail(TVisitOutcome::Interrupted, QStringLiteral("stopped while awaiting the reply to %1").arg(Command));
      return reply;
    }
    if (!Reconnect()) {
      Fail(TVisitOutcome::ConnectionLost, QStringLiteral("no reply to %1, and the reconnect failed: %2").arg(Command, Link.ConnectFailure()));
      return reply;
    }
  }
  ShowNoResponse();
  Fail(TVisitOutcome::NoResponse, QStringLiteral("no reply to %1 after %2 tries").arg(Command).arg(MaxAttempts));
  return TLinkFailure::NoReply;
}

// A line that cannot be made again is for a person to hear of, on a desktop.
bool TReaderPass::Reconnect() {
  if (Link.Connect()) return true;
  ShowDesktopMessage(QStringLiteral("Failed to connect reader (%1). Please retry later!").arg(Link.Address()));
  return false;
}

void TReaderPass::Fail(TVisitOutcome Outcome, const QString& Detail) {
  if (Result.Outcome != TVisitOutcome::Running) return;  // the first failure is the one that counts
  Result.Outcome = Outcome;
  Result.Detail = Detail;
}

// False once the stop is given: the pass then ends where it is, interrupted.
bool TReaderPass::Step(TPassStep Step) {
  Observer.Stepped(Step);
  return GoOn();
}

bool TReaderPass::GoOn() {
  if (!Stop.Given()) return true;
  Fail(TVisitOutcome::Interrupted, Stop.Why());
  return false;
}

// Once, without a retry: whoever stopped the pass does not wait on the reader. Held, the lock
// keeps the reader from taking cards until it times out.
void TReaderPass::ReleaseLock() {
  Locked = !Link.Lock(false);
}

bool TReaderPass::LockReader() {
  Observer.ShowStatus(true);
  if (!Step(TPassStep::Locking)) return false;
  Locked = static_cast<bool>(SendWithRetry(QStringLiteral("lock"), [this] { return Link.Lock(true); }));
  return Locked;
}

bool TReaderPass::UnlockReader() {
  if (!Step(TPassStep::Unlocking) || !SendWithRetry(QStringLiteral("unlock"), [this] { return Link.Lock(false); })) return false;
  Locked = false;
  Observer.ShowStatus(false);
  return true;
}

// A missed reply is no failure: the clock is a courtesy, the download goes on without it. The
// reply is awaited all the same, or a slow reader's answer would be taken for the next command's.
void TReaderPass::SetReaderClock() {
  ClockSent = true;
  Result.ClockSet = static_cast<bool>(Link.SetClock());
}

// A reader's own request for the clock is served between commands, inside the pass's lock, and
// at most once a pass: a reader that keeps asking cannot hold the pass up.
void TReaderPass::ServeClockRequest() {
  if (Locked && !ClockSent && Link.ClockRequested()) SetReaderClock();
}

bool TReaderPass::ClearReaderLog(std::uint16_t LogMark) {
  return Step(TPassStep::Clearing) &&
         static_cast<bool>(SendWithRetry(QStringLiteral("clear log"), [this, LogMark] { return Link.ClearLog(LogMark); }));
}

void TReaderPass::ShowNoResponse() {
  Step(TPassStep::NoResponse);
}

void TReaderPass::ReaderPass(const TPassFlags& Flags, qint64 JournalId) {
  VisitId = JournalId;
  Result = {};
  Count = {};
  Locked = false;
  ClockSent = false;
  WalkFrom = 0;
  Reached = {};
  RunPass(Flags);
  // The stop may have cut a reply wait or a reconnect short before the pass's next step: what
  // the pass took for the reader's failure was the stop's own.
  if (Stop.Given() && Result.Outcome != TVisitOutcome::Running && Result.Outcome != TVisitOutcome::StoreFailed) {
    Result.Outcome = TVisitOutcome::Interrupted;
    Result.Detail = Stop.Why();
  }
  if (Result.Outcome == TVisitOutcome::Interrupted && Locked) ReleaseLock();
  if (Result.Outcome == TVisitOutcome::Running) {
    Result.Outcome = TVisitOutcome::Done;
    Result.Detail = DoneDetail();
  }
}

// The counts are those committed so far, also of a pass a stop or an error cut short.
TVisit TReaderPass::VisitOf(const TVisit& Row) const {
  TVisit visit = Result;
  visit.Added = Count.Added;
  visit.Duplicates = Count.Duplicated;
  visit.Invalid = Count.Invalid;
  visit.Address = Row.Address;
  visit.Port = Row.Port;
  return visit;
}

QString TReaderPass::DoneDetail() const {
  QString detail = VisitOf({}).CountsText();
  if (Result.ClockSet) detail += QStringLiteral("; clock set");
  if (WalkFrom > 0) detail += QStringLiteral("; the walk started at page %1 of a kept log").arg(WalkFrom);
  if (Result.Cleared) detail += QStringLiteral("; cleared");
  if (!Result.Detail.isEmpty()) detail += QStringLiteral("; ") + Result.Detail;
  return detail;
}

void TReaderPass::RunPass(const TPassFlags& Flags) {
  const TPassEnd passEnd(Observer);
  if (!LockReader()) return;
  if (Flags.SetClock) SetReaderClock();
  if (!Step(TPassStep::SettingOptions) || !SendWithRetry(QStringLiteral("set options"), [this] { return Link.SetOptions(); })) return;
  if (!Step(TPassStep::ReadingCapacity)) return;
  TCapacity first;
  TCapacity capacity;
  if (!ReadCapacity(first) || !ReadCapacity(capacity)) return;
  Result.RecordsReported = capacity.RecordCount;
  Reported = capacity;
  // Differing answers mean the link cannot be trusted, and an empty log holds nothing to read:
  // either way the reader is only unlocked.
  if (!CapacityAnswersAgree(first, capacity) || capacity.RecordCount == 0) {
    UnlockReader();
    return;
  }
  if (DownloadAndClear(Flags, capacity)) UnlockReader();
}

bool TReaderPass::CapacityAnswersAgree(const TCapacity& First, const TCapacity& Second) {
  if (Second.RecordCount == First.RecordCount && Second.LogMark == First.LogMark) return true;
  Fail(TVisitOutcome::LinkCheckFailed, QStringLiteral("the capacity answers differ: %1 records, mark %2, then %3 records, mark %4")
                                           .arg(First.RecordCount)
                                           .arg(First.LogMark)
                                           .arg(Second.RecordCount)
                                           .arg(Second.LogMark));
  return false;
}

bool TReaderPass::ReadCapacity(TCapacity& Capacity) {
  const TReply<TCapacity> reply = SendWithRetry(QStringLiteral("get capacity"), [this] { return Link.ReadCapacity(); });
  if (reply) Capacity = *reply;
  return static_cast<bool>(reply);
}

bool TReaderPass::DownloadAndClear(const TPassFlags& Flags, const TCapacity& Capacity) {
  if (!Step(TPassStep::Downloading)) return false;
  KeptAs = Link.Identity();
  TReadPages read;
  if (Flags.Download && !ChooseWalkStart(Capacity, read)) return false;
  // The progress counts the records the walk reads, not those it knows it can leave.
  const int toRead = Capacity.RecordCount - SlotsSkipped();
  const auto progress = JournalledProgress(Observer.OpenProgress(toRead), Link.Address(), toRead, TLogPage::Slots);
  if (Flags.Download && !WalkLog(*progress, read)) return false;
  progress->Hide();
  // A walk that ended before the reader's own count left records nobody has read: they must
  // not be cleared, and someone should hear of them even when no clear was asked.
  const QString shortWalk = QStringLiteral("read %1 of %2 records").arg(SlotsWalked()).arg(Capacity.RecordCount);
  Result.ReadShort = Flags.Download && SlotsWalked() < Capacity.RecordCount;
  if (!Flags.ClearAfter) {
    if (Result.ReadShort) Result.Detail = shortWalk;
    return true;
  }
  if (Result.ReadShort) {
    SkipClear(shortWalk);
    return true;
  }
  if (!Flags.Download) {
    JournalLine(TPriority::Warning,
                QStringLiteral("%1: download is off and clear after is on: %2 records cleared unread").arg(Link.Address()).arg(Capacity.RecordCount));
  }
  // The clear destroys the reader's copy: what was stored must survive a power cut first, and
  // what was remembered of the log goes before the log does.
  try {
    Db.ForgetKeptLog(KeptAs);
    Db.MakeDurable();
  } catch (const EDatabaseError& Error) {
    SkipClear(QString::fromLocal8Bit(Error.what()));
    Fail(TVisitOutcome::StoreFailed, Result.Detail);
    return true;  // the records stay on the reader and are read again next time
  }
  Result.Cleared = ClearReaderLog(Capacity.LogMark);
  return Result.Cleared;
}

// The pages read to know a kept log again are kept for the walk, which stores them as any page.
bool TReaderPass::ChooseWalkStart(const TCapacity& Capacity, TReadPages& Read) {
  if (!ResumesKeptLogs) return true;
  std::optional<TKeptLog> kept;
  try {
    kept = Db.KeptLog(KeptAs);
  } catch (const EDatabaseError& Error) {
    Fail(TVisitOutcome::StoreFailed, QString::fromLocal8Bit(Error.what()));
    return false;
  }
  if (!kept) return true;
  WalkFrom = WalkStart(*kept, Capacity, [this, &Read](int Page) -> const TLogPage* {
    const std::optional<TLogPage> page = FetchPage(Page);
    return page ? &Read.emplace(Page, *page).first->second : nullptr;
  });
  return Running();
}

void TReaderPass::SkipClear(const QString& Why) {
  Result.ClearSkipped = true;
  Result.Detail = QStringLiteral("not cleared: ") + Why;
}

// Pages 1 up to the one the walk went on at were left unread: their slots are all present.
int TReaderPass::SlotsSkipped() const {
  return std::max(WalkFrom - 1, 0) * TLogPage::Slots;
}

// Where the walk reached in the log, the slots it left included.
int TReaderPass::SlotsWalked() const {
  return Count.Added + Count.Duplicated + Count.Invalid + Count.Held + SlotsSkipped();
}

std::optional<TLogPage> TReaderPass::FetchPage(int Page) {
  if (!GoOn()) return std::nullopt;
  const TReply<TLogPage> reply =
      SendWithRetry(QStringLiteral("download page %1").arg(Page), [this, Page] { return Link.ReadPage(Page); });
  if (!reply) return std::nullopt;
  return *reply;
}

// Page 0, then on from WalkFrom. A page read already is not asked for again: the reader is
// locked, and its log holds still.
bool TReaderPass::WalkLog(IDownloadProgress& Progress, const TReadPages& Read) {
  Held.clear();
  const TDateTime started = Now();
  for (int page = 0; page < LogPageCount; page = page == 0 && WalkFrom > 0 ? WalkFrom : page + 1) {
    const auto known = Read.find(page);
    const std::optional<TLogPage> fetched = known != Read.end() ? std::optional(known->second) : FetchPage(page);
    if (!fetched) return false;
    try {
      if (StorePage(page, *fetched, Progress)) return StoreHeld(started);
    } catch (const EDatabaseError& Error) {
      Fail(TVisitOutcome::StoreFailed, QString::fromLocal8Bit(Error.what()));
      return false;  // the reader stays locked and uncleared; the run goes on
    }
  }
  return StoreHeld(started);
}

// The whole log was read: what was held pairs with the live events it copies, and an event
// older than the walk that found no copy never will.
bool TReaderPass::StoreHeld(TDateTime WalkStarted) {
  if (Held.empty() && !Db.KeepsLiveEventsPending()) return true;
  try {
    TWriteTransaction transaction(Db);
    const TWriteTransaction::THeldStored stored = transaction.StoreHeld(Held, Link.Host(), Link.Identity(), WalkStarted);
    if (!Held.empty() && ResumesKeptLogs && !Reached.FirstSlot.isEmpty()) transaction.KeepLog(KeptAs, Reached);
    TPassCounters counts = Count;
    counts.Held = 0;
    counts.Added = static_cast<std::uint16_t>(counts.Added + stored.Added);
    counts.Duplicated = static_cast<std::uint16_t>(counts.Duplicated + stored.Duplicates + stored.LiveCopies);
    transaction.NoteVisitCounts({VisitId, counts.Added, counts.Duplicated, counts.Invalid});
    transaction.Commit();
    Count = counts;
    Held.clear();
    ReportPairing(Link.Address(), stored);
  } catch (const EDatabaseError& Error) {
    Fail(TVisitOutcome::StoreFailed, QString::fromLocal8Bit(Error.what()));
    return false;
  }
  return true;
}

// A page's records go in one transaction holding the write lock: the duplicate test and the
// insert are one atomic step whoever else stores, and the page costs one commit, made before
// the next command leaves. They count only once it is committed. The page that ends the walk
// also remembers where it ended, in the same commit. True at the log's end.
bool TReaderPass::StorePage(int Index, const TLogPage& Page, IDownloadProgress& Progress) {
  TPassCounters counts = Count;
  TKeptLog reached = Reached;
  Reach(reached, Index, Page, Reported);
  const QString host = Link.Host();
  TWriteTransaction transaction(Db);
  for (int slot = 0; slot < Page.Count; ++slot) {
    const std::optional<TLogRecord>& record = Page.Records[static_cast<std::size_t>(slot)];
    if (!record) {
      ++counts.Invalid;
    } else {
      switch (transaction.StoreLogRecord(record->RecTime, record->CardNo, host, Link.Identity(), record->Mode)) {
        case TWriteTransaction::TLogCopy::Added: ++counts.Added; break;
        case TWriteTransaction::TLogCopy::Held: Held.push_back({record->RecTime, record->CardNo, record->Mode}); ++counts.Held; break;
        case TWriteTransaction::TLogCopy::Duplicate:
        case TWriteTransaction::TLogCopy::LiveCopy: ++counts.Duplicated; break;  // a live event's copy was stored when it came
      }
    }
    Progress.Step();
  }
  const bool walkEnds = Page.LogEnds() || Index == LogPageCount - 1;
  // Records held back are not stored yet: the memory goes with them, or a resumed walk would pass them by.
  if (walkEnds && Held.empty() && ResumesKeptLogs && !reached.FirstSlot.isEmpty()) transaction.KeepLog(KeptAs, reached);
  transaction.NoteVisitCounts({VisitId, counts.Added, counts.Duplicated, counts.Invalid});
  transaction.Commit();
  Count = counts;
  Reached = reached;
  return Page.LogEnds();
}
