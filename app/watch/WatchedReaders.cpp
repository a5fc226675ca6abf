#include "WatchedReaders.h"

#include <algorithm>

#include "Errors.h"
#include "Journal.h"
#include "ReaderVisit.h"
#include "RunJournal.h"
#include "RunOptions.h"

namespace {

bool SameRow(const TReaderRow& A, const TReaderRow& B) {
  return A.Address == B.Address && A.Port == B.Port && A.SetClock == B.SetClock && A.Download == B.Download &&
         A.ClearAfter == B.ClearAfter;
}

QString RowName(const TReaderRow& Row) {
  return Row.Address + ':' + Row.Port;
}

QStringList TableText(const std::vector<QSqlRecord>& Records) {
  QStringList rows;
  for (const QSqlRecord& record : Records) {
    QStringList columns;
    for (const char* column : {"ipaddr", "ipport", "setclk", "download", "clrafter"}) columns << record.value(column).toString();
    rows << columns.join('\x1f');
  }
  return rows;
}

}  // namespace

TWatchedReaders::TWatchedReaders(TLogDatabase& ADb, const std::vector<QSqlRecord>& Readers, TLogDatabase& AStore, TLiveEventWriter& Live,
                                 TRunJournal& AJournal, QObject& AReceiver, TWatchTimings Timings, int PassThreads, TWatchLines* ALines)
    : Db(ADb), Store(AStore), Journal(AJournal), Receiver(AReceiver), Lines(ALines), Loop(Store, Live, Timings, PassThreads, ALines) {
  LastTable = TableText(Readers);
  for (const TReaderRow& row : Judge(Readers)) Start(row);
}

TWatchedReaders::~TWatchedReaders() {
  if (!Stopped) StopAll();
}

void TWatchedReaders::Update() {
  std::vector<QSqlRecord> records;
  try {
    records = ReadReaderRecords(Db);
  } catch (const EDatabaseError&) {
    return;  // tried again at the next look
  }
  const QStringList table = TableText(records);
  if (table == LastTable) return;
  LastTable = table;
  const std::vector<TReaderRow> wanted = Judge(records);
  const std::vector<TWatchLine*> watched = Watched;
  for (TWatchLine* line : watched) {
    const bool kept = std::any_of(wanted.begin(), wanted.end(), [&](const TReaderRow& Row) { return SameRow(Row, line->Row()); });
    if (!kept) Retire(*line, QStringLiteral("its readers row was removed or changed; not watched under it any more"));
  }
  for (const TReaderRow& row : wanted) {
    const bool running = std::any_of(Watched.begin(), Watched.end(), [&](const TWatchLine* W) { return SameRow(W->Row(), row); });
    if (running) continue;
    JournalLine(TPriority::Info, QStringLiteral("%1: a new readers row; watched from now on").arg(RowName(row)));
    Start(row);
  }
}

// The rows to watch; each other row is refused once for as long as it stays as it is.
std::vector<TReaderRow> TWatchedReaders::Judge(const std::vector<QSqlRecord>& Records) {
  std::vector<TReaderRow> wanted;
  for (const TReaderEntry& entry : JudgeReaders(Records)) {
    if (entry.Usable()) {
      wanted.push_back(*entry.Values);
    } else if (Refused.insert(LastTable.value(static_cast<int>(entry.Number - 1)) + '\x1e' + entry.Reason).second) {
      Journal.VisitWhole(RefusedVisit(entry));
    }
  }
  return wanted;
}

void TWatchedReaders::Retire(TWatchLine& Gone, const QString& Why) {
  const QString name = RowName(Gone.Row());
  const TReaderRow row = Gone.Row();
  std::erase(Watched, &Gone);
  const TWatchLoop::TRetired retired = Loop.Retire(Gone);
  RetiredLiveStored += retired.LiveStored;
  RetiredStoreFailed |= retired.StoreFailed;
  if (Lines != nullptr) Lines->Forget(row.Address, row.Port);
  JournalLine(TPriority::Info, QStringLiteral("%1: %2").arg(name, Why));
}

void TWatchedReaders::Start(const TReaderRow& Row) {
  TRunJournal& journal = Journal;
  TLogDatabase& store = Store;
  QObject& receiver = Receiver;
  const auto report = [&journal, &receiver](const TWatchLine::TEnded& Ended) {
    QMetaObject::invokeMethod(
        &receiver,
        [&journal, Ended] {
          if (Ended.Visit.Outcome == TVisitOutcome::LineDown) {
            journal.LineDown(Ended.Visit);
          } else if (Ended.PartOfOutage) {
            journal.RowOnly(Ended.Visit, Ended.Row);
          } else {
            journal.VisitWhole(Ended.Visit, Ended.Row);
          }
        },
        Qt::QueuedConnection);
  };
  TWatchLine& line = Loop.Add(Row, report, [&journal, &store](const TVisit& Visit) { return journal.VisitStartedIn(store, Visit); });
  Watched.push_back(&line);
}

bool TWatchedReaders::Watches(const QString& Reader) const {
  return std::any_of(Watched.begin(), Watched.end(), [&](const TWatchLine* Line) { return RowName(Line->Row()) == Reader; });
}

void TWatchedReaders::CollectNow(const QString& Reader) {
  for (TWatchLine* line : Watched) {
    if (RowName(line->Row()) == Reader) line->CollectNow();
  }
}

bool TWatchedReaders::StopAll() {
  Loop.StopAll();
  for (const TWatchLine* line : Watched) {
    RetiredLiveStored += line->LiveEventsStored();
    RetiredStoreFailed |= line->StoreFailed();
  }
  JournalLine(TPriority::Info, QStringLiteral("watch stopped; %1 live events stored").arg(RetiredLiveStored));
  Journal.ReadersNeverReached(
      static_cast<int>(std::count_if(Watched.begin(), Watched.end(), [](const TWatchLine* Line) { return !Line->Reached(); })));
  Watched.clear();
  Stopped = true;
  return RetiredStoreFailed;
}
