#include "LiveCopies.h"

#include "ForwardInFlight.h"
#include "LogDatabase.h"
#include "NativeStatement.h"

namespace {

// Reads the first row's two columns, then lets the statement finish.
bool FirstRow(TNativeStatement& Query, qint64& Id, QByteArray& Text) {
  if (!Query.Next()) return false;
  Id = Query.Int64(0);
  Text = QByteArray(Query.Text(1), Query.TextLength(1));
  while (Query.Next()) {
  }
  return true;
}

}  // namespace

TLiveCopies::TLiveCopies(sqlite3* ADb) : Db(ADb), Kept(HasTable(ADb, "live_pending")) {}

TLiveCopies::~TLiveCopies() = default;

void TLiveCopies::KeepPending() {
  TNativeStatement(Db, "CREATE TABLE IF NOT EXISTS live_pending (record INTEGER PRIMARY KEY, reader TEXT NOT NULL, "
                       "cardno INTEGER NOT NULL, arrival TEXT NOT NULL)")
      .Run();
  TNativeStatement(Db, "CREATE INDEX IF NOT EXISTS live_pending_card ON live_pending (reader, cardno, arrival)").Run();
  Kept = true;
}

// Replacing: a row deleted by hand leaves its pending entry behind, and SQLite hands its rowid
// out again to the next record.
void TLiveCopies::AwaitLogCopy(const QString& Identity, int CardNo, const QByteArray& Arrival) {
  if (!Await) Await = std::make_unique<TNativeStatement>(Db, "INSERT OR REPLACE INTO live_pending VALUES (last_insert_rowid(), ?, ?, ?)");
  Await->BindText(1, Identity.toUtf8());
  Await->BindInt(2, CardNo);
  Await->BindText(3, Arrival);
  Await->Run();
}

bool TLiveCopies::TakeExact(qint64 Id, int CardNo, const QByteArray& Time, int Mode) {
  if (!Kept) return false;
  if (!Exact) {
    Exact = std::make_unique<TNativeStatement>(Db, "DELETE FROM live_pending WHERE record = ? AND cardno = ? AND arrival = ? "
                                                   "RETURNING record, arrival");
  }
  Exact->BindInt64(1, Id);
  Exact->BindInt(2, CardNo);
  Exact->BindText(3, Time);
  qint64 record = 0;
  QByteArray arrival;
  if (!FirstRow(*Exact, record, arrival)) return false;
  if (!ModeUpdate) ModeUpdate = std::make_unique<TNativeStatement>(Db, "UPDATE records SET MODE = ? WHERE rowid = ?");
  ModeUpdate->BindInt(1, Mode);
  ModeUpdate->BindInt64(2, Id);
  ModeUpdate->Run();
  Restamped(Id, CardNo, Time, Time);
  return true;
}

bool TLiveCopies::Awaits(const QString& Identity, const QString& Host, int CardNo) {
  if (!Kept) return false;
  if (!Waiting) Waiting = std::make_unique<TNativeStatement>(Db, "SELECT 1 FROM live_pending WHERE reader IN (?, ?) AND cardno = ? LIMIT 1");
  Waiting->BindText(1, Identity.toUtf8());
  Waiting->BindText(2, Host.toUtf8());
  Waiting->BindInt(3, CardNo);
  return Waiting->Run();
}

// Arrivals in whole seconds from the same day zero as TDateTime, so that the two clocks compare.
std::vector<TPendingEvent> TLiveCopies::PendingOf(const QString& Identity, const QString& Host) {
  std::vector<TPendingEvent> pending;
  if (!Kept) return pending;
  TNativeStatement query(Db, "SELECT record, cardno, CAST(round((julianday(arrival) - julianday('1899-12-30')) * 86400) AS INTEGER) "
                             "FROM live_pending WHERE reader IN (?, ?) AND julianday(arrival) IS NOT NULL ORDER BY arrival, record");
  query.BindText(1, Identity.toUtf8());
  query.BindText(2, Host.toUtf8());
  while (query.Next()) pending.push_back({query.Int64(0), static_cast<int>(query.Int64(1)), query.Int64(2)});
  return pending;
}

// The row is matched by its card and arrival too: a VACUUM may have renumbered the records, and
// then the pending event is dropped rather than another row changed.
bool TLiveCopies::TakeAligned(const TPendingEvent& Event, TDateTime Time, int Mode) {
  TNativeStatement drop(Db, "DELETE FROM live_pending WHERE record = ? RETURNING arrival");
  drop.BindInt64(1, Event.Record);
  if (!drop.Next()) return false;
  const QByteArray arrival(drop.Text(0), drop.TextLength(0));
  while (drop.Next()) {
  }
  if (!Update) {
    Update = std::make_unique<TNativeStatement>(Db, "UPDATE records SET RECTIME = ?, MODE = ? WHERE rowid = ? AND CARDNO = ? AND "
                                                    "RECTIME = ? RETURNING rowid");
  }
  const QByteArray time = RecTimeText(Time).toLatin1();
  Update->BindText(1, time);
  Update->BindInt(2, Mode);
  Update->BindInt64(3, Event.Record);
  Update->BindInt(4, Event.CardNo);
  Update->BindText(5, arrival);
  if (!Update->Run()) return false;
  Restamped(Event.Record, Event.CardNo, arrival, time);
  return true;
}

int TLiveCopies::Forget(const QString& Identity, const QString& Host, TDateTime ArrivedBefore) {
  if (!Kept) return 0;
  TNativeStatement forget(Db, "DELETE FROM live_pending WHERE reader IN (?, ?) AND arrival < ? RETURNING record");
  forget.BindText(1, Identity.toUtf8());
  forget.BindText(2, Host.toUtf8());
  forget.BindText(3, RecTimeText(ArrivedBefore).toLatin1());
  int count = 0;
  while (forget.Next()) ++count;
  return count;
}

// A forwarding mark names its row by rowid, time and card: the row keeps being the one sent.
// A target whose mark is at or past the row has sent it as it was; one a forward is sending to
// now may be sending it so. A correction of a row the server lacks stores it as corrected, and
// the row's own copy then finds it there.
void TLiveCopies::Restamped(qint64 Id, int CardNo, const QByteArray& Was, const QByteArray& Time) {
  if (!HasTable(Db, "forwarding")) return;
  if (!MarkUpdate) {
    KeepForwardingCorrections(Db);
    MarkUpdate = std::make_unique<TNativeStatement>(Db, "UPDATE forwarding SET records_rectime = ? WHERE records_rowid = ?");
    Correction = std::make_unique<TNativeStatement>(
        Db, "INSERT INTO forwarding_corrections (target, local_id, was_rectime, cardno) SELECT target, ?1, ?2, ?3 "
            "FROM forwarding WHERE records_rowid >= ?1 OR target IN (SELECT value FROM json_each(?4))");
  }
  MarkUpdate->BindText(1, Time);
  MarkUpdate->BindInt64(2, Id);
  MarkUpdate->Run();
  Correction->BindInt64(1, Id);
  Correction->BindText(2, Was);
  Correction->BindInt(3, CardNo);
  Correction->BindText(4, TForwardInFlight::Targets());
  Correction->Run();
}

void KeepForwardingCorrections(sqlite3* Db) {
  TNativeStatement(Db, "CREATE TABLE IF NOT EXISTS forwarding_corrections (target TEXT NOT NULL, local_id INTEGER NOT NULL, "
                       "was_rectime TEXT NOT NULL, cardno INTEGER NOT NULL)")
      .Run();
}
