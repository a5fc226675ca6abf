#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "DownloadProgress.h"
#include "KeptLogs.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "PassObserver.h"
#include "StopToken.h"
#include "VisitJournal.h"

class TLogDatabase;

struct TPassFlags {
  bool SetClock = false;
  bool Download = false;
  bool ClearAfter = false;
};

struct TPassCounters {
  std::uint16_t Added = 0;
  std::uint16_t Duplicated = 0;
  std::uint16_t Invalid = 0;
  std::uint16_t Held = 0;  // read, and stored at the walk's end: cards the reader has live events pending of
};

// The work for one reader: connect, lock, optionally set the clock, read the capacity twice,
// walk the log page by page storing new records, optionally clear, unlock. Each step and the
// download's progress go to Observer; a given Stop ends the pass at its next step or page.
class TReaderPass {
 public:
  TReaderPass(TReader& Link, TLogDatabase& Db, TPassObserver& Observer, TStopToken Stop = {});

  // From now on the place where a walk of a log ended is remembered, and the next walk of that
  // reader's log goes on from there when the log is still the one remembered (see WalkStart).
  void ResumeKeptLogs() { ResumesKeptLogs = true; }
  // Connects to the reader: false when no line could be made, or a stop came first or cut the
  // connect short (StopToken). A port text that is no number raises.
  bool ConfigureReader(const QString& Address, const QString& Port);
  const TStopToken& StopToken() const { return Stop; }
  // JournalId: the visit's row in the journal, kept current as pages are stored; -1 for none.
  void ReaderPass(const TPassFlags& Flags, qint64 JournalId = -1);

  const TPassCounters& Counters() const { return Count; }
  // How the last pass ended, for the visit journal, with Row's address and port.
  TVisit VisitOf(const TVisit& Row) const;

 private:
  bool LockReader();
  bool UnlockReader();
  bool ClearReaderLog(std::uint16_t LogMark);
  void ShowNoResponse();
  // The command, tried up to three times with a reconnect after each miss; a pending clock
  // request is served before each try. Send returns the link's reply.
  template <class TSend>
  auto SendWithRetry(const QString& Command, TSend Send) -> decltype(Send());
  bool Reconnect();
  void Fail(TVisitOutcome Outcome, const QString& Detail);
  bool Step(TPassStep Step);
  bool GoOn();
  void ReleaseLock();
  void SkipClear(const QString& Why);
  void RunPass(const TPassFlags& Flags);
  QString DoneDetail() const;
  void SetReaderClock();
  void ServeClockRequest();
  bool ReadCapacity(TCapacity& Capacity);
  bool CapacityAnswersAgree(const TCapacity& First, const TCapacity& Second);
  using TReadPages = std::map<int, TLogPage>;
  bool DownloadAndClear(const TPassFlags& Flags, const TCapacity& Capacity);
  bool ChooseWalkStart(const TCapacity& Capacity, TReadPages& Read);
  bool Running() const { return Result.Outcome == TVisitOutcome::Running; }
  std::optional<TLogPage> FetchPage(int Page);
  bool WalkLog(IDownloadProgress& Progress, const TReadPages& Read);
  int SlotsSkipped() const;
  int SlotsWalked() const;
  bool StorePage(int Index, const TLogPage& Page, IDownloadProgress& Progress);
  bool StoreHeld(TDateTime WalkStarted);

  TReader& Link;
  TLogDatabase& Db;
  TPassObserver& Observer;
  TStopToken Stop;
  qint64 VisitId = -1;
  TPassCounters Count;
  std::vector<TWriteTransaction::THeldRecord> Held;
  bool Locked = false;
  bool ClockSent = false;
  TVisit Result;
  bool ResumesKeptLogs = false;
  QString KeptAs;        // the reader's identity, under which its log is remembered
  TCapacity Reported;
  int WalkFrom = 0;      // the page the walk went on at after page 0; 0: it read every page
  TKeptLog Reached;      // where the walk is, as the next visit would know it
};
