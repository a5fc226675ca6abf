#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "JournalCondition.h"
#include "LiveEvent.h"

class QThread;
class TLogDatabase;

// The watch's live events, from every reader, stored by one thread: those handed in while a
// commit runs go in the next one together. Readers that send at the same instant then cost the
// file one commit and the workers no wait for each other's turn. A batch waits Spacing after its
// first event; released, it goes as soon as Spacing has passed since the last commit began, so
// the loop's batch of a wake-up goes whole and at once. Each reader's events are stored
// in the order they came. While another program holds logs.mdb they wait here and are tried
// again every RetryMs; those the file refuses for another reason (a full or failing disk) are
// left to the readers' logs.
class TLiveEventWriter {
 public:
  // One reader's account: what its worker hands in, and what became of it.
  class TSource {
   public:
    // Reader: the records' reader; Name: the reader in lines.
    TSource(QString Name, QString Reader, bool AwaitLogCopy);
    TSource(const TSource&) = delete;
    TSource& operator=(const TSource&) = delete;

    int Stored() const { return Added; }
    // Handed in and not yet stored, nor given up.
    int Waiting() const { return Queued; }
    // True once an event of it was not stored.
    bool Failed() const { return Lost; }
    // The events stored since the last call.
    int TakeStoredSince() { return SinceTaken.exchange(0); }

   private:
    friend class TLiveEventWriter;
    const QString Name;
    const QString Reader;
    const bool AwaitLogCopy;
    std::atomic<int> Queued{0};
    std::atomic<int> Added{0};
    std::atomic<int> SinceTaken{0};
    std::atomic<bool> Lost{false};
    TJournalCondition StoreFailures;  // the writer's thread's own
  };

  // At most one commit begins in this time, unless a source closes.
  static constexpr std::chrono::milliseconds Spacing{10};

  // Stored, when set, is called in the writer's thread after each commit that stored an event.
  TLiveEventWriter(TLogDatabase& Store, int RetryMs, std::function<void()> Stored = {});
  // Every source must have been settled.
  ~TLiveEventWriter();
  TLiveEventWriter(const TLiveEventWriter&) = delete;
  TLiveEventWriter& operator=(const TLiveEventWriter&) = delete;

  void Submit(TSource& From, const TLiveEvent& Event);
  // What was handed in so far is whole: its batch need not wait out the rest of its Spacing.
  void Release();
  // Returns once what From handed in was stored, or is held back by another program's hold.
  void Flush(TSource& From);
  // For From's last event handed in: its events are tried once more now, and what the file does
  // not take is said, left to the reader's log and counted as failed. From may then go.
  void Settle(TSource& From) { Settle(std::vector<TSource*>{&From}); }
  // The same for many at once: one try, and one wait, for all of them.
  void Settle(const std::vector<TSource*>& From);

 private:
  using TClock = std::chrono::steady_clock;
  struct TQueued {
    TSource* From;
    TLiveEvent Event;
  };
  // What a try made of its batch: stored or refused (Done), or kept for a later try.
  enum class TTry { Done, TurnTaken, FileHeld };
  void Write();
  TClock::time_point TryAt() const;
  TTry StoreBatch(const std::vector<TQueued>& Batch);
  // Events in one commit: what became of each. Raises EDatabaseError when the file refused them,
  // EDatabaseBusy when a lock kept them out.
  std::vector<TLiveStored> Commit(const std::vector<TQueued>& Events);
  void Noted(const std::vector<TQueued>& Events, const std::vector<TLiveStored>& Results);
  void Refused(const TQueued& Queued, const QString& Why);
  void GiveUp(TSource& From);

  TLogDatabase& Store;
  const std::chrono::milliseconds RetryAfter;
  std::function<void()> Stored;
  std::mutex Lock;  // guards what follows, to Closing
  std::condition_variable Wake;  // the writer: events, a source closing, the stop
  std::condition_variable Tried;  // those that wait for the writer
  std::deque<TQueued> Queue;
  TClock::time_point Gathered;  // when the batch that waits is due
  TClock::time_point LastBegan;  // the last commit's start
  bool Released = false;         // the batch that waits is whole
  TClock::time_point NextTry;   // while held back, the next try
  bool HeldBack = false;  // the last try met another program's hold
  std::uint64_t Tries = 0;
  std::vector<TSource*> Closing;
  bool Stopping = false;
  bool AwaitingFile = false;  // the writer's thread's own
  std::unique_ptr<QThread> Thread;
};
