#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>

#include "DownloadProgress.h"
#include "VisitJournal.h"

class IStatusLine;
class QWidget;
class TLogDatabase;
class TReader;

struct TPassFlags {
  bool SetClock = false;
  bool Download = false;
  bool ClearAfter = false;
};

struct TPassCounters {
  std::uint16_t Added = 0;
  std::uint16_t Duplicated = 0;
  std::uint16_t Invalid = 0;
};

// The work for one reader: connect, lock, optionally set the clock, read the capacity twice,
// walk the log page by page storing new records, optionally clear, unlock.
class TReaderPass {
 public:
  // Progress windows owned by Owner, as a run that visits one reader at a time shows them.
  TReaderPass(TReader& Reader, TLogDatabase& Db, IStatusLine& Status, QWidget* Owner);
  TReaderPass(TReader& Reader, TLogDatabase& Db, IStatusLine& Status, TProgressOpener OpenProgress);

  // Visits running side by side may hold the same record: the test for it and the insert then
  // go as one atomic statement.
  void SetAtomicStore(bool Value) { AtomicStore = Value; }

  // Leaves the outcome in the reader's Enable. A port text that is no number raises.
  void ConfigureReader(const QString& Address, const QString& Port);
  void ReaderPass(const TPassFlags& Flags);

  bool WaitReply();
  bool LockReader();
  bool UnlockReader();
  bool SendWithRetry(const QByteArray& Payload);
  bool SendWithRetryTimed(const QByteArray& Payload, int WaitMs);
  bool ClearReaderLog(std::uint16_t LogMark);
  void ShowNoResponse();

  const TPassCounters& Counters() const { return Count; }
  // How the last pass ended, for the visit journal, with Row's address and port.
  TVisit VisitOf(const TVisit& Row) const;

 private:
  using TReplyCheck = std::function<bool()>;
  bool Attempts(const QByteArray& Payload, const std::function<void()>& Send, const TReplyCheck& Accept);
  void Fail(TVisitOutcome Outcome, const QString& Detail);
  void SkipClear(const QString& Why);
  void RunPass(const TPassFlags& Flags);
  QString DoneDetail() const;
  void SetReaderClock();
  void ServeClockRequest();
  bool ReadCapacity(std::uint16_t& RecordCount, std::uint16_t& LogMark);
  bool CapacityAnswersAgree(std::uint16_t FirstCount, std::uint16_t FirstMark, std::uint16_t Count, std::uint16_t Mark);
  bool DownloadAndClear(const TPassFlags& Flags, std::uint16_t RecordCount, std::uint16_t LogMark);
  bool WalkLog(IDownloadProgress& Progress);
  int SlotsWalked() const;
  bool RequestPage(int PageIndex);
  bool TakeSlot(int Slot);

  TReader& Reader;
  TLogDatabase& Db;
  IStatusLine& Status;
  TProgressOpener OpenProgress;
  bool AtomicStore = false;
  TPassCounters Count;
  bool Locked = false;
  bool ClockSent = false;
  TVisit Result;
};

// A visit that ended at the first connect, with the reason the reader link gives.
TVisit UnreachableVisit(const TReader& Reader, TVisit Visit);
// A visit that an exception ended: a row that could not be read, or the database failing.
TVisit FailedVisit(TVisit Visit, const std::exception& Error);

// A command as a person names it: "lock", "download page 12".
QString CommandName(const QByteArray& Payload);
// Why a connect failed, from its errno.
QString ConnectFailureText(int ErrorCode);

// Payloads of the pass's own commands.
QByteArray PagePayload(int PageIndex);
QByteArray ClearPayload(std::uint16_t LogMark);
