#include "LocalRows.h"

#include <QStringList>

#include "NativeStatement.h"
#include "PgConnection.h"
#include "VisitJournal.h"

namespace {

void AppendText(QByteArray& Row, const QByteArray& Text, bool Last) {
  AppendCopyField(Row, Text.constData(), static_cast<int>(Text.size()), Last);
}

// Rows of Query (its first column the local id), after the fixed Leading fields, while under
// the limits. A fresh statement per batch: stopping early leaves it mid-step.
template <typename TMarkOf>
TBatch Read(TNativeStatement& Query, const QList<QByteArray>& Leading, const QByteArray& Trailing, int Columns,
            TBatchLimits Limits, const TGrowth& Grown, TMarkOf MarkOf) {
  TBatch batch;
  while (batch.Rows() < Limits.Rows && batch.Data.size() < Limits.Bytes) {
    if (!Query.Next()) {
      batch.AtEnd = true;
      break;
    }
    for (const QByteArray& field : Leading) AppendText(batch.Data, field, false);
    for (int column = 1; column <= Columns; ++column) {
      AppendCopyField(batch.Data, Query.Text(column), Query.TextLength(column), column == Columns && Trailing.isNull());
    }
    if (!Trailing.isNull()) AppendText(batch.Data, Trailing, true);
    batch.Ends.append(batch.Data.size());
    batch.Ids.append(Query.Int64(0));
    batch.Last = MarkOf(Query);
    if (Grown) Grown(batch);
  }
  return batch;
}

}  // namespace

TBatch ReadRecords(sqlite3* Db, const TMark& Mark, const QByteArray& Site, TBatchLimits Limits, const TGrowth& Grown) {
  TNativeStatement query(Db, "SELECT rowid, RECTIME, CARDNO, READER, MODE FROM records WHERE rowid > ? ORDER BY rowid");
  query.BindInt64(1, Mark.Id);
  return Read(query, {}, Site, 4, Limits, Grown, [](const TNativeStatement& Row) {
    return TMark{Row.Int64(0), QByteArray(Row.Text(1), Row.TextLength(1)), QByteArray(Row.Text(2), Row.TextLength(2))};
  });
}

qint64 CountRecords(sqlite3* Db, const TMark& Mark) {
  TNativeStatement query(Db, "SELECT COUNT(*) FROM records WHERE rowid > ?");
  query.BindInt64(1, Mark.Id);
  query.Next();
  const qint64 count = query.Int64(0);
  while (query.Next()) {
  }
  return count;
}

TBatch ReadVisits(sqlite3* Db, const TMark& Mark, const QByteArray& Origin, const QByteArray& Site, TBatchLimits Limits,
                  const TGrowth& Grown) {
  const QStringList& columns = VisitColumns();
  // Up to the first visit still running: it is sent once it has ended. Looking for it only past
  // the mark keeps a look cheap however many visits lie behind it (a watch looks every second).
  const QByteArray sql = QStringLiteral(
                             "SELECT id, %1 FROM visits WHERE id > ?1 AND id < COALESCE((SELECT MIN(id) FROM visits "
                             "WHERE ended IS NULL AND id > ?1), 9223372036854775807) ORDER BY id")
                             .arg(columns.join(QStringLiteral(", ")))
                             .toUtf8();
  TNativeStatement query(Db, sql.constData());
  query.BindInt64(1, Mark.Id);
  return Read(query, {Origin, Site}, QByteArray(), static_cast<int>(columns.size()), Limits, Grown, [](const TNativeStatement& Row) {
    return TMark{Row.Int64(0), QByteArray(Row.Text(2), Row.TextLength(2)), {}};
  });
}

bool HasVisitsJournal(sqlite3* Db) {
  const QStringList& columns = VisitColumns();
  const QByteArray sql = QStringLiteral("SELECT COUNT(*) = %1 FROM pragma_table_info('visits') WHERE name IN ('%2')")
                             .arg(columns.size())
                             .arg(columns.join(QStringLiteral("', '")))
                             .toUtf8();
  TNativeStatement query(Db, sql.constData());
  const bool complete = query.Next() && query.Int64(0) == 1;
  while (query.Next()) {
  }
  return complete;
}
