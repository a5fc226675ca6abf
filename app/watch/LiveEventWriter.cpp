#include "LiveEventWriter.h"

#include <QThread>

#include <algorithm>
#include <iterator>

#include "Errors.h"
#include "Journal.h"
#include "LogDatabase.h"

namespace {

// A pass waits behind a commit: one holds the write lock for this many events at most.
constexpr std::size_t MostPerCommit = 500;

}  // namespace

TLiveEventWriter::TSource::TSource(QString AName, QString AReader, bool AAwaitLogCopy)
    : Name(std::move(AName)), Reader(std::move(AReader)), AwaitLogCopy(AAwaitLogCopy), StoreFailures(TPriority::Error, Name) {}

TLiveEventWriter::TLiveEventWriter(TLogDatabase& AStore, int RetryMs, std::function<void()> AStored)
    : Store(AStore), RetryAfter(RetryMs), Stored(std::move(AStored)) {
  Thread.reset(QThread::create([this] { Write(); }));
  Thread->start();
}

TLiveEventWriter::~TLiveEventWriter() {
  {
    const std::lock_guard guard(Lock);
    Stopping = true;
  }
  Wake.notify_one();
  Thread->wait();
}

// Only the first event of a batch wakes the writer: the others find it awake, or waiting out a
// hold that they would not end.
void TLiveEventWriter::Submit(TSource& From, const TLiveEvent& Event) {
  ++From.Queued;
  bool first = false;
  {
    const std::lock_guard guard(Lock);
    first = Queue.empty();
    if (first) Gathered = TClock::now() + Spacing;
    Queue.push_back({&From, Event});
  }
  if (first) Wake.notify_one();
}

// Only a batch that waits: one released with nothing in it would let the next first event go alone.
void TLiveEventWriter::Release() {
  {
    const std::lock_guard guard(Lock);
    if (Queue.empty() || Released) return;
    Released = true;
  }
  Wake.notify_one();
}

// A hold seen by a try that ended before this call may be over: only a later one counts.
void TLiveEventWriter::Flush(TSource& From) {
  std::unique_lock lock(Lock);
  const std::uint64_t before = Tries;
  Tried.wait(lock, [&] { return From.Queued == 0 || (HeldBack && Tries > before); });
}

void TLiveEventWriter::Settle(const std::vector<TSource*>& From) {
  std::unique_lock lock(Lock);
  std::vector<TSource*> open;
  std::copy_if(From.begin(), From.end(), std::back_inserter(open), [](const TSource* Source) { return Source->Queued > 0; });
  if (open.empty()) return;
  Closing.insert(Closing.end(), open.begin(), open.end());
  Wake.notify_one();
  Tried.wait(lock, [&] { return std::all_of(open.begin(), open.end(), [](const TSource* Source) { return Source->Queued == 0; }); });
  std::erase_if(Closing, [&](const TSource* Source) { return std::find(open.begin(), open.end(), Source) != open.end(); });
}

// Under the lock: when the next try is due. A source that is closing gets its last try at once,
// whatever the hold.
TLiveEventWriter::TClock::time_point TLiveEventWriter::TryAt() const {
  if (Queue.empty()) return TClock::time_point::max();
  if (std::any_of(Closing.begin(), Closing.end(), [](const TSource* From) { return From->Queued > 0; })) return {};
  if (HeldBack) return NextTry;
  return Released ? std::min(Gathered, LastBegan + Spacing) : Gathered;
}

void TLiveEventWriter::Write() {
  std::unique_lock lock(Lock);
  while (!Stopping) {
    if (const auto due = TryAt(); due > TClock::now()) {
      if (due == TClock::time_point::max()) {
        Wake.wait(lock);
      } else {
        Wake.wait_until(lock, due);
      }
      continue;
    }
    const std::vector<TSource*> lastTry = Closing;
    const auto end = Queue.begin() + static_cast<std::ptrdiff_t>(std::min(Queue.size(), MostPerCommit));
    const std::vector<TQueued> batch(Queue.begin(), end);
    Queue.erase(Queue.begin(), end);
    LastBegan = TClock::now();
    Released = Released && !Queue.empty();
    lock.unlock();
    const TTry tried = StoreBatch(batch);
    lock.lock();
    // Another thread's turn passes within moments, and the wait for it paces the tries: only
    // another program's hold ends a flush or a last try.
    HeldBack = tried == TTry::FileHeld;
    if (tried != TTry::Done) Queue.insert(Queue.begin(), batch.begin(), batch.end());
    if (HeldBack) {
      NextTry = TClock::now() + RetryAfter;
      // Only those still closing: one that settled meanwhile may be gone.
      for (TSource* from : Closing) {
        if (std::find(lastTry.begin(), lastTry.end(), from) != lastTry.end()) GiveUp(*from);
      }
    }
    ++Tries;
    Tried.notify_all();
  }
}

// A full or failing disk: the batch's events are left to their readers' logs, whence the passes
// bring them.
TLiveEventWriter::TTry TLiveEventWriter::StoreBatch(const std::vector<TQueued>& Batch) {
  try {
    Noted(Batch, Commit(Batch));
  } catch (const EStoreTurnBusy&) {
    return TTry::TurnTaken;  // a pass's turn: it says so if another program holds the file
  } catch (const EDatabaseBusy& Error) {
    if (!AwaitingFile) {
      JournalLine(TPriority::Warning, QStringLiteral("logs.mdb is held by another program (%1); live events wait for it")
                                          .arg(QString::fromLocal8Bit(Error.what())));
    }
    AwaitingFile = true;
    return TTry::FileHeld;
  } catch (const EDatabaseError& Error) {
    for (const TQueued& queued : Batch) Refused(queued, QString::fromLocal8Bit(Error.what()));
  }
  return TTry::Done;
}

std::vector<TLiveStored> TLiveEventWriter::Commit(const std::vector<TQueued>& Events) {
  std::vector<TLiveStored> results;
  results.reserve(Events.size());
  TWriteTransaction transaction(Store, TLockWait::Briefly);
  for (const TQueued& queued : Events) {
    results.push_back(StoreLiveEvent(transaction, queued.Event, queued.From->Reader, queued.From->AwaitLogCopy));
  }
  transaction.Commit();
  if (AwaitingFile) JournalLine(TPriority::Info, QStringLiteral("logs.mdb free again; live events stored"));
  AwaitingFile = false;
  return results;
}

// Each source's counts are current before its events stop counting as waiting.
void TLiveEventWriter::Noted(const std::vector<TQueued>& Events, const std::vector<TLiveStored>& Results) {
  bool added = false;
  for (std::size_t i = 0; i < Events.size(); ++i) {
    TSource& from = *Events[i].From;
    from.StoreFailures.Ended(QStringLiteral("live events are stored again; those not stored stay in the reader's log"));
    switch (Results[i]) {
      case TLiveStored::Added:
        // Since the last taking first: one who saw Added grow finds it counted there too.
        ++from.SinceTaken;
        ++from.Added;
        added = true;
        break;
      case TLiveStored::Duplicate: break;
      case TLiveStored::Invalid:
        JournalLine(TPriority::Warning, QStringLiteral("%1: live event of card %2 without a valid time; its record is left to the log")
                                            .arg(from.Name)
                                            .arg(Events[i].Event.CardNo));
        break;
    }
    --from.Queued;
  }
  if (added && Stored) Stored();
}

void TLiveEventWriter::Refused(const TQueued& Queued, const QString& Why) {
  TSource& from = *Queued.From;
  from.Lost = true;
  from.StoreFailures.Occurred(QStringLiteral("live events not stored (%1); they stay in the reader's log").arg(Why));
  --from.Queued;
}

// Under the lock, after a last try the file did not take.
void TLiveEventWriter::GiveUp(TSource& From) {
  const auto left = std::erase_if(Queue, [&From](const TQueued& Queued) { return Queued.From == &From; });
  if (left == 0) return;
  From.Lost = true;
  From.Queued -= static_cast<int>(left);
  JournalLine(TPriority::Error, QStringLiteral("%1: %2 live events not stored: logs.mdb had not taken them when the reader's "
                                               "watch ended; they stay in the reader's log")
                                    .arg(From.Name)
                                    .arg(left));
}
