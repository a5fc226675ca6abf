#include "ReaderPass.h"

#include <QCoreApplication>

#include <memory>
#include <utility>

#include "Errors.h"
#include "Sockets.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "ReplyWait.h"
#include "StatusLine.h"
#include "WaitCursor.h"

namespace {

constexpr int MaxAttempts = 3;
constexpr int PageCount = 2048;
constexpr int SlotsPerPage = 33;
constexpr int CapacityCountOffset = 6;
constexpr int CapacityMarkOffset = 4;
// Count byte, 00 03 00, mark, count, check: anything shorter does not hold both words.
constexpr int CapacityReplyLength = 9;

const QByteArray SetOptionsPayload = QByteArray::fromHex("00080480");
const QByteArray CapacityPayload = QByteArray::fromHex("000300");

QByteArray WithWord(const char* HexPrefix, std::uint16_t Word) {
  QByteArray payload = QByteArray::fromHex(HexPrefix);
  payload.append(static_cast<char>(Word & 0xFF)).append(static_cast<char>(Word >> 8));
  return payload;
}

bool AnyReply() {
  return true;
}

// Hides the status line and restores the cursor however the pass ends.
class TPassEnd {
 public:
  explicit TPassEnd(IStatusLine& AStatus) : Status(AStatus) {}
  ~TPassEnd() { Status.SetStatusVisible(false); }
  TPassEnd(const TPassEnd&) = delete;
  TPassEnd& operator=(const TPassEnd&) = delete;

 private:
  IStatusLine& Status;
  TWaitCursor Cursor;
};

}  // namespace

QString CommandName(const QByteArray& Payload) {
  const auto byte = [&](int Index) { return Index < Payload.size() ? static_cast<std::uint8_t>(Payload[Index]) : 0; };
  switch (byte(1)) {
    case 0x00: return byte(2) == 0x01 ? QStringLiteral("lock") : QStringLiteral("unlock");
    case 0x02: return QStringLiteral("set clock");
    case 0x03: return QStringLiteral("get capacity");
    case 0x05: return QStringLiteral("clear log");
    case 0x08: return QStringLiteral("set options");
    case 0x0A: return QStringLiteral("download page %1").arg(byte(3) | byte(4) << 8);
    default: return QStringLiteral("command %1").arg(QString::fromLatin1(Payload.toHex()));
  }
}

QByteArray PagePayload(int PageIndex) {
  return WithWord("000a00", static_cast<std::uint16_t>(PageIndex));
}

QByteArray ClearPayload(std::uint16_t LogMark) {
  return WithWord("000500", LogMark);
}

TReaderPass::TReaderPass(TReader& AReader, TLogDatabase& ADb, IStatusLine& AStatus, QWidget* Owner)
    : TReaderPass(AReader, ADb, AStatus, ProgressWindows(Owner)) {}

TReaderPass::TReaderPass(TReader& AReader, TLogDatabase& ADb, IStatusLine& AStatus, TProgressOpener AOpenProgress)
    : Reader(AReader), Db(ADb), Status(AStatus), OpenProgress(std::move(AOpenProgress)) {}

void TReaderPass::ConfigureReader(const QString& Address, const QString& Port) {
  Reader.SetPortNo(1);
  Reader.Enable = true;
  Reader.Desc = Address;
  Reader.Mode = 0;
  Reader.LockTime = 1;
  Reader.APB = false;
  Reader.Capture = false;
  Reader.OnCardCode = nullptr;
  Reader.OnBypass = nullptr;
  Reader.OnPowerup = nullptr;
  Reader.SetRemoteHost(Address.toUtf8());
  Reader.SetRemotePort(Port.toUtf8());
  const TWaitCursor cursor;
  QCoreApplication::processEvents();
  Reader.Enable = Reader.Reconnect(false);
}

bool TReaderPass::WaitReply() {
  return WaitForReply(Reader);
}

bool TReaderPass::Attempts(const QByteArray& Payload, const std::function<void()>& Send, const TReplyCheck& Accept) {
  for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
    ServeClockRequest();
    Send();
    if (WaitReply() && Accept()) return true;
    if (!Reader.Reconnect(true)) {
      Fail(TVisitOutcome::ConnectionLost, QStringLiteral("no reply to %1, and the reconnect failed: %2")
                                              .arg(CommandName(Payload), ConnectFailureText(Reader.LastErrorCode())));
      return false;
    }
  }
  ShowNoResponse();
  Fail(TVisitOutcome::NoResponse, QStringLiteral("no reply to %1 after %2 tries").arg(CommandName(Payload)).arg(MaxAttempts));
  return false;
}

void TReaderPass::Fail(TVisitOutcome Outcome, const QString& Detail) {
  if (Result.Outcome != TVisitOutcome::Running) return;  // the first failure is the one that counts
  Result.Outcome = Outcome;
  Result.Detail = Detail;
}

bool TReaderPass::SendWithRetry(const QByteArray& Payload) {
  return Attempts(Payload, [&] { Reader.SendCommand(Payload); }, AnyReply);
}

bool TReaderPass::SendWithRetryTimed(const QByteArray& Payload, int WaitMs) {
  return Attempts(Payload, [&] { Reader.SendCommandTimed(Payload, WaitMs); }, AnyReply);
}

bool TReaderPass::LockReader() {
  Status.SetStatusVisible(true);
  Status.SetStatusText(QStringLiteral("Locking"));
  Locked = Attempts(LockPayload(true), [&] { Reader.SendLock(true); }, AnyReply);
  return Locked;
}

bool TReaderPass::UnlockReader() {
  Status.SetStatusText(QStringLiteral("UnLocking"));
  if (!Attempts(LockPayload(false), [&] { Reader.SendLock(false); }, AnyReply)) return false;
  Locked = false;
  Status.SetStatusVisible(false);
  return true;
}

// A missed reply is no failure: the clock is a courtesy, the download goes on without it. The
// reply is awaited all the same, or a slow reader's answer would be taken for the next command's.
void TReaderPass::SetReaderClock() {
  ClockSent = true;
  Reader.ClockRequested = false;
  Reader.SetClock();
  Result.ClockSet = WaitReply();
}

// A reader's own request for the clock is served between commands, inside the pass's lock, and
// at most once a pass: a reader that keeps asking cannot hold the pass up.
void TReaderPass::ServeClockRequest() {
  if (Locked && !ClockSent && Reader.ClockRequested) SetReaderClock();
}

bool TReaderPass::ClearReaderLog(std::uint16_t LogMark) {
  Status.SetStatusText(QStringLiteral("Clearing"));
  return SendWithRetryTimed(ClearPayload(LogMark), Reader.Timings.ClearReplyWaitMs);
}

void TReaderPass::ShowNoResponse() {
  Status.SetStatusText(QStringLiteral("No response"));
}

void TReaderPass::ReaderPass(const TPassFlags& Flags, qint64 JournalId) {
  VisitId = JournalId;
  Result = {};
  Count = {};
  Locked = false;
  ClockSent = false;
  RunPass(Flags);
  Result.Added = Count.Added;
  Result.Duplicates = Count.Duplicated;
  Result.Invalid = Count.Invalid;
  if (Result.Outcome == TVisitOutcome::Running) {
    Result.Outcome = TVisitOutcome::Done;
    Result.Detail = DoneDetail();
  }
}

TVisit TReaderPass::VisitOf(const TVisit& Row) const {
  TVisit visit = Result;
  visit.Address = Row.Address;
  visit.Port = Row.Port;
  return visit;
}

QString TReaderPass::DoneDetail() const {
  QString detail = QStringLiteral("%1 added, %2 duplicates, %3 invalid of %4 reported")
                       .arg(Count.Added)
                       .arg(Count.Duplicated)
                       .arg(Count.Invalid)
                       .arg(Result.RecordsReported.value_or(0));
  if (Result.ClockSet) detail += QStringLiteral("; clock set");
  if (Result.Cleared) detail += QStringLiteral("; cleared");
  if (!Result.Detail.isEmpty()) detail += QStringLiteral("; ") + Result.Detail;
  return detail;
}

void TReaderPass::RunPass(const TPassFlags& Flags) {
  const TPassEnd passEnd(Status);
  if (!LockReader()) return;
  if (Flags.SetClock) SetReaderClock();
  Status.SetStatusText(QStringLiteral("Set Options"));
  if (!SendWithRetry(SetOptionsPayload)) return;
  Status.SetStatusText(QStringLiteral("Get Capacity"));
  std::uint16_t firstCount = 0;
  std::uint16_t firstMark = 0;
  std::uint16_t recordCount = 0;
  std::uint16_t logMark = 0;
  if (!ReadCapacity(firstCount, firstMark) || !ReadCapacity(recordCount, logMark)) return;
  Result.RecordsReported = recordCount;
  // Differing answers mean the link cannot be trusted, and an empty log holds nothing to read:
  // either way the reader is only unlocked.
  if (!CapacityAnswersAgree(firstCount, firstMark, recordCount, logMark) || recordCount == 0) {
    UnlockReader();
    return;
  }
  if (DownloadAndClear(Flags, recordCount, logMark)) UnlockReader();
}

bool TReaderPass::CapacityAnswersAgree(std::uint16_t FirstCount, std::uint16_t FirstMark, std::uint16_t SecondCount,
                                       std::uint16_t SecondMark) {
  if (SecondCount == FirstCount && SecondMark == FirstMark) return true;
  Fail(TVisitOutcome::LinkCheckFailed, QStringLiteral("the capacity answers differ: %1 records, mark %2, then %3 records, mark %4")
                                           .arg(FirstCount)
                                           .arg(FirstMark)
                                           .arg(SecondCount)
                                           .arg(SecondMark));
  return false;
}

bool TReaderPass::ReadCapacity(std::uint16_t& RecordCount, std::uint16_t& LogMark) {
  if (!Attempts(CapacityPayload, [&] { Reader.SendCommand(CapacityPayload); },
                [this] { return Reader.RxLen() >= CapacityReplyLength; })) {
    return false;
  }
  RecordCount = Reader.ReplyWord(CapacityCountOffset);
  LogMark = Reader.ReplyWord(CapacityMarkOffset);
  return true;
}

bool TReaderPass::DownloadAndClear(const TPassFlags& Flags, std::uint16_t RecordCount, std::uint16_t LogMark) {
  Status.SetStatusText(QStringLiteral("Downloading"));
  const auto progress = OpenProgress(QStringLiteral("Downloading Logs (%1 records)").arg(RecordCount), RecordCount);
  if (Flags.Download && !WalkLog(*progress)) return false;
  progress->Hide();
  if (!Flags.ClearAfter) return true;
  // A walk that ended before the reader's own count would clear records nobody has read.
  if (Flags.Download && SlotsWalked() < RecordCount) {
    SkipClear(QStringLiteral("read %1 of %2 records").arg(SlotsWalked()).arg(RecordCount));
    return true;
  }
  if (!Flags.Download) {
    JournalLine(TPriority::Warning, QStringLiteral("%1:%2: download is off and clear after is on: %3 records cleared unread")
                                        .arg(QString::fromUtf8(Reader.RemoteHost()), QString::fromUtf8(Reader.RemotePort()))
                                        .arg(RecordCount));
  }
  // The clear destroys the reader's copy: what was stored must survive a power cut first.
  try {
    Db.MakeDurable();
  } catch (const EDatabaseError& Error) {
    SkipClear(QString::fromLocal8Bit(Error.what()));
    return true;  // the records stay on the reader and are read again next time
  }
  Result.Cleared = ClearReaderLog(LogMark);
  return Result.Cleared;
}

void TReaderPass::SkipClear(const QString& Why) {
  Result.ClearSkipped = true;
  Result.Detail = QStringLiteral("not cleared: ") + Why;
}

int TReaderPass::SlotsWalked() const {
  return Count.Added + Count.Duplicated + Count.Invalid;
}

bool TReaderPass::WalkLog(IDownloadProgress& Progress) {
  for (int page = 0; page < PageCount; ++page) {
    if (!RequestPage(page)) return false;
    try {
      if (StorePage(Progress)) return true;
    } catch (const EDatabaseError& Error) {
      Fail(TVisitOutcome::StoreFailed, QString::fromLocal8Bit(Error.what()));
      return false;  // the reader stays locked and uncleared; the run goes on
    }
  }
  return true;
}

// A page's records go in one transaction holding the write lock: the duplicate test and the
// insert are one atomic step whoever else stores, and the page costs one commit, made before
// the next command leaves. They count only once it is committed. True at the log's end.
bool TReaderPass::StorePage(IDownloadProgress& Progress) {
  TPassCounters counts = Count;
  TWriteTransaction transaction(Db);
  int slot = 0;
  for (; slot < SlotsPerPage && Reader.SlotPresent(slot); ++slot) {
    TakeSlot(transaction, slot, counts);
    Progress.Step();
  }
  transaction.NoteVisitCounts({VisitId, counts.Added, counts.Duplicated, counts.Invalid});
  transaction.Commit();
  Count = counts;
  return slot < SlotsPerPage;
}

bool TReaderPass::RequestPage(int PageIndex) {
  // Anything but the long reply would leave the previous page's slots in the buffer.
  return Attempts(PagePayload(PageIndex), [&] { Reader.SendCommand(PagePayload(PageIndex)); },
                  [this] { return Reader.RxLen() == LongReplyLength; });
}

void TReaderPass::TakeSlot(TWriteTransaction& Transaction, int Slot, TPassCounters& Counts) {
  TLogRecord record;
  if (!Reader.DecodeSlot(Slot, record)) {
    ++Counts.Invalid;
  } else if (Transaction.RecordExists(record.RecTime, record.CardNo)) {
    ++Counts.Duplicated;
  } else {
    Transaction.StoreRecord(record.RecTime, record.CardNo, QString::fromUtf8(Reader.RemoteHost()), record.Mode);
    ++Counts.Added;
  }
}
