#include "BatchSender.h"

#include <QStringList>

#include <utility>

#include "BinaryCopy.h"
#include "PgConnection.h"
#include "ServerError.h"
#include "VisitJournal.h"

namespace {

const char* const UniqueViolation = "23505";
const char* const CheckViolation = "23514";
const char* const DataExceptionClass = "22";

// Every column but the key: a resend never leaves a row half one visit and half another.
QString VisitsMerge() {
  QStringList updated = QStringList{"site"} + VisitColumns();
  updated.removeAll(QStringLiteral("id"));
  updated.removeAll(QStringLiteral("started"));
  QStringList excluded;
  for (const QString& column : updated) excluded << QStringLiteral("EXCLUDED.") + column;
  return QStringLiteral("ON CONFLICT (origin, id, started) DO UPDATE SET (%1) = ROW(%2)")
      .arg(updated.join(QStringLiteral(", ")), excluded.join(QStringLiteral(", ")));
}

[[noreturn]] void RefuseCount(qint64 Taken, qsizetype Sent) {
  throw EServerError(
      TServerFailure::NeedsPerson,
      QStringLiteral("the server took %1 of the %2 rows of a batch (a trigger or rule on its table?); nothing of it was kept")
          .arg(Taken)
          .arg(Sent));
}

// A scratch table takes its column types from the server's own table, partitions and all.
TServerTable Through(const QString& Table, const QStringList& Columns, const QString& Merge, bool CopyDirect) {
  const QString columns = Columns.join(QStringLiteral(", "));
  return {QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS forward_%1 AS SELECT %2 FROM %1 WITH NO DATA").arg(Table, columns),
          QStringLiteral("COPY forward_%1 FROM STDIN").arg(Table),
          QStringLiteral("INSERT INTO %1 (%2) SELECT %2 FROM forward_%1 ").arg(Table, columns) + Merge,
          QStringLiteral("TRUNCATE forward_%1").arg(Table),
          CopyDirect ? QStringLiteral("COPY %1 (%2) FROM STDIN").arg(Table, columns) : QString()};
}

[[noreturn]] void RefuseTable(const QString& HowMany, const EServerError& Last) {
  throw EServerError(TServerFailure::NeedsPerson,
                     QStringLiteral("the server refused %1, the last for: %2 (SQLSTATE %3); its table itself seems to "
                                    "refuse them (a partition missing, a CHECK); nothing of the batch was kept or set aside")
                         .arg(HowMany, Last.Message(), Last.SqlState()),
                     Last.SqlState());
}

}  // namespace

const TServerTable& RecordsTable() {
  static const TServerTable Table = Through(QStringLiteral("records"), {"rectime", "cardno", "reader", "mode", "site"},
                                            QStringLiteral("ON CONFLICT (rectime, cardno) DO NOTHING"), true);
  return Table;
}

const TServerTable& VisitsTable() {
  static const TServerTable Table =
      Through(QStringLiteral("visits"), QStringList{"origin", "site"} + VisitColumns(), VisitsMerge(), false);
  return Table;
}

TBatchSender::TBatchSender(TPgConnection& Connection, const TServerTable& Into, std::function<void()> OnCommit)
    : Server(Connection), Table(Into), BeforeCommit(std::move(OnCommit)) {}

void TBatchSender::Grown(const TBatch& Batch) {
  if (Batch.Data.size() - Streamed < StreamBytes) return;
  if (!Streaming) {
    Begin(Merging());
    StartCopy(FirstCopy(), Batch);
    Streaming = true;
  }
  Server.PutCopy(Batch.Data.constData() + Streamed, Batch.Data.size() - Streamed);
  Streamed = Batch.Data.size();
}

QList<TSetAside> TBatchSender::Send(const TBatch& Batch) {
  QList<TSetAside> refused;
  if (!Streaming) Begin(Merging());
  SendWhole(Batch, refused);
  if (TableRefuses(Batch, refused)) RefuseTable(QStringLiteral("every row it was sent"), *LastRefusal);
  if (BeforeCommit) BeforeCommit();
  Server.Exec(QStringLiteral("COMMIT"));
  SetAside += refused.size();
  Kept += Batch.Rows() - refused.size();
  return refused;
}

bool TBatchSender::TableRefuses(const TBatch& Batch, const QList<TSetAside>& Refused) const {
  if (Kept > 0 || Refused.isEmpty() || Refused.size() != Batch.Rows()) return false;
  const bool noPartition = LastRefusal->SqlState() == QLatin1String(CheckViolation) && LastRefusal->Constraint().isEmpty();
  return noPartition || RefusedNotForValues >= TableEvidenceRows;
}

void TBatchSender::SendWhole(const TBatch& Batch, QList<TSetAside>& Refused) {
  try {
    const bool merging = Merging();
    const qint64 taken = CopyWhole(Batch);
    if (taken != Batch.Rows()) RefuseCount(taken, Batch.Rows());
    if (merging) MergeScratch();
    return;
  } catch (const EServerError& Error) {
    if (Error.Failure() != TServerFailure::RowRejected) throw;
    Restart();
    if (Error.SqlState() == QLatin1String(UniqueViolation) && !Overlapping) {
      Overlapping = true;
      SendWhole(Batch, Refused);
      return;
    }
  }
  Halve(Batch, 0, Batch.Rows(), Refused);
}

// The rest of what Grown streamed, or all of the batch when it streamed nothing (or was sent again).
qint64 TBatchSender::CopyWhole(const TBatch& Batch) {
  const qsizetype from = std::exchange(Streamed, 0);
  if (!std::exchange(Streaming, false)) StartCopy(FirstCopy(), Batch);
  Server.PutCopy(Batch.Data.constData() + from, Batch.Data.size() - from);
  if (Batch.Binary) Server.PutCopy(BinaryCopyTrailer().constData(), BinaryCopyTrailer().size());
  return Server.FinishCopy();
}

// With the batch's BEGIN, when it is still to go.
void TBatchSender::StartCopy(const QString& Sql, const TBatch& Batch) {
  if (!Batch.Binary) {
    Server.StartCopy(Sql, std::exchange(BeginPending, false));
    return;
  }
  Server.StartCopy(BinaryCopyOf(Sql), std::exchange(BeginPending, false));
  Server.PutCopy(BinaryCopyHeader().constData(), BinaryCopyHeader().size());
}

bool TBatchSender::Merging() const {
  return Overlapping || Table.CopyDirect.isEmpty();
}

const QString& TBatchSender::FirstCopy() const {
  return Merging() ? Table.CopyScratch : Table.CopyDirect;
}

void TBatchSender::Merge(const TBatch& Batch, qsizetype From, qsizetype To) {
  const qsizetype begin = Batch.Begin(From);
  const QByteArray rows = QByteArray::fromRawData(Batch.Data.constData() + begin, Batch.Ends[To - 1] - begin);
  const qint64 taken = Batch.Binary
                           ? Server.Copy(BinaryCopyOf(Table.CopyScratch), BinaryCopyHeader() + rows + BinaryCopyTrailer())
                           : Server.Copy(Table.CopyScratch, rows);
  if (taken != To - From) RefuseCount(taken, To - From);
  MergeScratch();
}

void TBatchSender::MergeScratch() {
  Server.Exec(Table.Merge);
  Server.Exec(Table.ClearScratch);
}

// Each half under a savepoint of its own: a refused half is undone alone and halved again,
// down to the one row that the server refuses.
void TBatchSender::Halve(const TBatch& Batch, qsizetype From, qsizetype To, QList<TSetAside>& Refused) {
  if (std::exchange(BeginPending, false)) Server.Exec(QStringLiteral("BEGIN"));
  Server.Exec(QStringLiteral("SAVEPOINT part"));
  try {
    Merge(Batch, From, To);
    Server.Exec(QStringLiteral("RELEASE SAVEPOINT part"));
    return;
  } catch (const EServerError& Error) {
    if (Error.Failure() != TServerFailure::RowRejected) throw;
    Server.Exec(QStringLiteral("ROLLBACK TO SAVEPOINT part"));
    Server.Exec(QStringLiteral("RELEASE SAVEPOINT part"));
    if (To - From == 1) {
      if (SetAside + Refused.size() >= MaxSetAside) RefuseTable(QStringLiteral("more than %1 rows").arg(MaxSetAside), Error);
      LastRefusal = Error;
      if (!Error.SqlState().startsWith(QLatin1String(DataExceptionClass))) ++RefusedNotForValues;
      Refused.append({Batch.Ids[From], QStringLiteral("%1 (SQLSTATE %2)").arg(Error.Message(), Error.SqlState())});
      return;
    }
  }
  const qsizetype middle = From + (To - From) / 2;
  Halve(Batch, From, middle, Refused);
  Halve(Batch, middle, To, Refused);
}

// After a refusal the batch goes through the scratch, whichever way it went first.
void TBatchSender::Restart() {
  Server.Exec(QStringLiteral("ROLLBACK"));
  Begin(true);
}

// The scratch is made the first time a batch may need it (a first forward copies straight into
// the table), and outside the transaction, whose rollback would take it away again. BEGIN goes
// with the next statement: a watch's forward of a few rows is three round trips, not four.
void TBatchSender::Begin(bool NeedsScratch) {
  if (NeedsScratch && !ScratchMade) {
    Server.Exec(Table.Scratch);
    ScratchMade = true;
  }
  BeginPending = true;
}
