#include "LocalState.h"

#include <QUuid>

#include <utility>

#include "Clock.h"
#include "LiveCopies.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
#include "Transaction.h"

namespace {

const char* const CreateTables[] = {
    ("CREATE TABLE IF NOT EXISTS forwarding (target TEXT PRIMARY KEY, records_rowid INTEGER NOT NULL DEFAULT 0, "
     "records_rectime TEXT, records_cardno INTEGER, visits_id INTEGER NOT NULL DEFAULT 0, visits_started TEXT, "
     "last_attempt TEXT, last_error TEXT)"),
    "CREATE TABLE IF NOT EXISTS forwarding_origin (origin TEXT NOT NULL)",
    ("CREATE TABLE IF NOT EXISTS forwarding_rejected (target TEXT NOT NULL, source TEXT NOT NULL, local_id INTEGER NOT NULL, "
     "reason TEXT NOT NULL, noted TEXT NOT NULL)"),
};

void Execute(sqlite3* Db, const char* Sql) {
  TNativeStatement(Db, Sql).Run();
}

// A mark's key as the row holds it: a NULL stays NULL, so the row is still found by it.
void BindKey(TNativeStatement& Statement, int Index, const QByteArray& Value) {
  if (Value.isNull()) {
    Statement.BindNull(Index);
  } else {
    Statement.BindText(Index, Value);
  }
}

QByteArray NowText() {
  return RecTimeText(Now()).toUtf8();
}

}  // namespace

TLocalState::TLocalState(sqlite3* Db, const QString& ServerTarget, TReadOnly) : Handle(Db), Target(ServerTarget.toUtf8()) {}

TLocalState::~TLocalState() = default;
TLocalState::TLocalState(TLocalState&&) noexcept = default;
TLocalState& TLocalState::operator=(TLocalState&&) noexcept = default;

// Each use runs it to its end, which resets it: a kept statement holds no read of the file.
TNativeStatement& TLocalState::Statement(std::unique_ptr<TNativeStatement>& Kept, const char* Sql) {
  if (!Kept) Kept = std::make_unique<TNativeStatement>(Handle, Sql);
  return *Kept;
}

TLocalState TLocalState::Reading(sqlite3* Db, const QString& ServerTarget) {
  return TLocalState(Db, ServerTarget, TReadOnly{});
}

TLocalState::TLocalState(sqlite3* Db, const QString& ServerTarget) : TLocalState(Db, ServerTarget, TReadOnly{}) {
  for (const char* create : CreateTables) Execute(Handle, create);
  KeepForwardingCorrections(Handle);
  // A file that forwarded before visits were marked by their start too.
  TNativeStatement column(Handle, "SELECT 1 FROM pragma_table_info('forwarding') WHERE name = 'visits_started'");
  if (!column.Run()) Execute(Handle, "ALTER TABLE forwarding ADD COLUMN visits_started TEXT");
  TNativeStatement insert(Handle, "INSERT OR IGNORE INTO forwarding (target) VALUES (?)");
  insert.BindText(1, Target);
  insert.Run();
}

QByteArray TLocalState::Origin() {
  TNativeStatement make(Handle, "INSERT INTO forwarding_origin SELECT ? WHERE NOT EXISTS (SELECT 1 FROM forwarding_origin)");
  make.BindText(1, QUuid::createUuid().toByteArray(QUuid::WithoutBraces));
  make.Run();
  TNativeStatement read(Handle, "SELECT origin FROM forwarding_origin LIMIT 1");
  read.Next();
  QByteArray origin(read.Text(0), read.TextLength(0));
  while (read.Next()) {
  }
  return origin;
}

TMark TLocalState::RecordsMark() {
  TNativeStatement& query = Statement(RecordsMarkQuery,
                                      "SELECT f.records_rowid, f.records_rectime, f.records_cardno FROM forwarding f "
                                      "WHERE f.target = ? AND EXISTS (SELECT 1 FROM records r WHERE r.rowid = f.records_rowid "
                                      "AND r.RECTIME IS f.records_rectime AND r.CARDNO IS f.records_cardno)");
  query.BindText(1, Target);
  if (!query.Next()) return {};
  TMark mark{query.Int64(0), QByteArray(query.Text(1), query.TextLength(1)), QByteArray(query.Text(2), query.TextLength(2))};
  while (query.Next()) {
  }
  return mark;
}

TMark TLocalState::VisitsMark() {
  TNativeStatement query(Handle,
                         "SELECT f.visits_id, f.visits_started FROM forwarding f WHERE f.target = ? AND EXISTS "
                         "(SELECT 1 FROM visits v WHERE v.id = f.visits_id AND v.started IS f.visits_started)");
  query.BindText(1, Target);
  if (!query.Next()) return {};
  TMark mark{query.Int64(0), QByteArray(query.Text(1), query.TextLength(1)), {}};
  while (query.Next()) {
  }
  return mark;
}

// The mark takes the row's own values, whatever their storage class (a BLOB card is no text
// to compare with), once the row is known still to be the one read: the same card and time as
// the batch read them as text, or a time re-stamped since with its correction queued. A row
// that is no longer the one read keeps the batch's values, which then find nothing, and the
// next forward starts again from the first row.
void TLocalState::AcknowledgeRecords(const TMark& Last, const QList<TSetAside>& Refused) {
  Acknowledge(RecordsMarkUpdate,
              "UPDATE forwarding SET records_rowid = ?1, records_rectime = CASE WHEN s.found THEN s.rectime ELSE ?2 END, "
              "records_cardno = CASE WHEN s.found THEN s.cardno ELSE ?3 END FROM (SELECT COUNT(*) AS found, "
              "MAX(r.RECTIME) AS rectime, MAX(r.CARDNO) AS cardno FROM records r WHERE r.rowid = ?1 AND "
              "CAST(r.CARDNO AS TEXT) IS CAST(?3 AS TEXT) AND (CAST(r.RECTIME AS TEXT) IS CAST(?2 AS TEXT) OR EXISTS "
              "(SELECT 1 FROM forwarding_corrections c WHERE c.local_id = ?1 AND c.target = ?4 AND c.was_rectime IS ?2))) "
              "AS s WHERE target = ?4",
              "records", Last, Refused);
}

void TLocalState::AcknowledgeVisits(const TMark& Last, const QList<TSetAside>& Refused) {
  // ?3 (a record's CARDNO) has no use here. The start as the row stores it, as for records.
  Acknowledge(VisitsMarkUpdate,
              "UPDATE forwarding SET visits_id = ?1, visits_started = COALESCE((SELECT v.started FROM visits v WHERE "
              "v.id = ?1 AND CAST(v.started AS TEXT) IS CAST(?2 AS TEXT)), ?2) WHERE target = ?4",
              "visits", Last, Refused);
}

// Without refused rows the mark's update is a transaction by itself: a watch acknowledges many
// times a second.
void TLocalState::Acknowledge(std::unique_ptr<TNativeStatement>& Kept, const char* Update, const char* Source,
                              const TMark& Last, const QList<TSetAside>& Refused) {
  if (Refused.isEmpty()) {
    MoveMark(Kept, Update, Last);
    return;
  }
  TTransaction transaction(Handle);
  TNativeStatement note(Handle,
                        "INSERT INTO forwarding_rejected (target, source, local_id, reason, noted) VALUES (?, ?, ?, ?, ?)");
  for (const TSetAside& row : Refused) {
    note.BindText(1, Target);
    note.BindText(2, Source);
    note.BindInt64(3, row.Id);
    note.BindText(4, row.Reason.toUtf8());
    note.BindText(5, NowText());
    note.Run();
  }
  MoveMark(Kept, Update, Last);
  transaction.Commit();
}

void TLocalState::MoveMark(std::unique_ptr<TNativeStatement>& Kept, const char* Update, const TMark& Last) {
  TNativeStatement& update = Statement(Kept, Update);
  update.BindInt64(1, Last.Id);
  BindKey(update, 2, Last.Time);
  BindKey(update, 3, Last.Card);
  update.BindText(4, Target);
  update.Run();
}

TCorrections TLocalState::Corrections() {
  TNativeStatement& query =
      Statement(CorrectionsQuery,
                "SELECT json_group_array(json_object('was', c.was_rectime, 'cardno', c.cardno, 'rectime', r.RECTIME, "
                "'reader', r.READER, 'mode', r.MODE)) FILTER (WHERE r.rowid IS NOT NULL), MAX(c.rowid) "
                "FROM forwarding_corrections c LEFT JOIN records r ON r.rowid = c.local_id AND r.CARDNO = c.cardno "
                "WHERE c.target = ?");
  query.BindText(1, Target);
  query.Next();
  TCorrections corrections{QByteArray(query.Text(0), query.TextLength(0)), query.Int64(1)};
  while (query.Next()) {
  }
  return corrections;
}

bool TLocalState::CorrectionsWaiting() {
  TNativeStatement query(Handle, "SELECT 1 FROM forwarding_corrections WHERE target = ? LIMIT 1");
  query.BindText(1, Target);
  return query.Run();
}

void TLocalState::CorrectionsSent(qint64 Last) {
  TNativeStatement done(Handle, "DELETE FROM forwarding_corrections WHERE target = ? AND rowid <= ?");
  done.BindText(1, Target);
  done.BindInt64(2, Last);
  done.Run();
}

void TLocalState::NoteAttempt(const QString& Error) {
  TNativeStatement update(Handle, Error.isNull() ? "UPDATE forwarding SET last_attempt = ?, last_error = NULL WHERE target = ?"
                                                 : "UPDATE forwarding SET last_attempt = ?, last_error = ? WHERE target = ?");
  int index = 1;
  update.BindText(index++, NowText());
  if (!Error.isNull()) update.BindText(index++, Error.toUtf8());
  update.BindText(index, Target);
  update.Run();
}
