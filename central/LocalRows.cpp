#include "LocalRows.h"

#include <QStringList>

#include <limits>
#include <optional>

#include "BinaryCopy.h"
#include "NativeStatement.h"
#include "PgConnection.h"
#include "VisitJournal.h"

namespace {

void AppendText(QByteArray& Row, const QByteArray& Text, bool Last) {
  AppendCopyField(Row, Text.constData(), static_cast<int>(Text.size()), Last);
}

// Columns 1 to Columns of Row as COPY text, after the fixed Leading fields and before Trailing.
void AppendTextRow(QByteArray& Data, const TNativeStatement& Row, const QList<QByteArray>& Leading, int Columns,
                   const QByteArray& Trailing) {
  for (const QByteArray& field : Leading) AppendText(Data, field, false);
  for (int column = 1; column <= Columns; ++column) {
    AppendCopyField(Data, Row.Text(column), Row.TextLength(column), column == Columns && Trailing.isNull());
  }
  if (!Trailing.isNull()) AppendText(Data, Trailing, true);
}

// A record in COPY's binary format, Site appended; false, with nothing appended, when a value
// is not one binary carries as the server would read its text (a time of another form, a
// number stored as text or out of its column's range). Each cell's kind is asked before its
// value, which may convert it.
bool AppendBinaryRecord(QByteArray& Data, const TNativeStatement& Row, const QByteArray& Site) {
  const TCellKind timeKind = Row.Kind(1);
  const TCellKind cardKind = Row.Kind(2);
  const TCellKind modeKind = Row.Kind(4);
  std::optional<qint64> time;
  if (timeKind != TCellKind::Null && !(time = TimestampMicroseconds(Row.Text(1), Row.TextLength(1)))) return false;
  const auto fits = [&Row](TCellKind Kind, int Column, qint64 Low, qint64 High) {
    return Kind == TCellKind::Null || (Kind == TCellKind::Integer && Row.Int64(Column) >= Low && Row.Int64(Column) <= High);
  };
  if (!fits(cardKind, 2, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()) ||
      !fits(modeKind, 4, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max())) {
    return false;
  }
  AppendFieldCount(Data, 5);
  if (time) {
    AppendInt64(Data, *time);
  } else {
    AppendNull(Data);
  }
  if (cardKind == TCellKind::Null) {
    AppendNull(Data);
  } else {
    AppendInt32(Data, static_cast<qint32>(Row.Int64(2)));
  }
  if (const char* reader = Row.Text(3)) {
    AppendBytes(Data, reader, Row.TextLength(3));
  } else {
    AppendNull(Data);
  }
  if (modeKind == TCellKind::Null) {
    AppendNull(Data);
  } else {
    AppendInt16(Data, static_cast<qint16>(Row.Int64(4)));
  }
  AppendBytes(Data, Site.constData(), static_cast<int>(Site.size()));
  return true;
}

constexpr qsizetype MarginBytes = 64 << 10;  // the last row may pass the limit

// Rows of Query (its first column the local id) into Batch while under the limits, each by
// Append, which may refuse a row: the batch then ends before it. A fresh statement per batch:
// stopping early leaves it mid-step.
template <typename TAppend, typename TMarkOf>
TBatch Read(TNativeStatement& Query, TBatch Batch, TBatchLimits Limits, const TGrowth& Grown, TAppend Append, TMarkOf MarkOf) {
  // Room for a full batch from the start: grown step by step, it is copied, and the copy's
  // pages count twice at the peak; pages never written cost nothing.
  Batch.Data.reserve(Limits.Bytes + MarginBytes);
  while (Batch.Rows() < Limits.Rows && Batch.Data.size() < Limits.Bytes) {
    if (!Query.Next()) {
      Batch.AtEnd = true;
      break;
    }
    if (!Append(Batch, Query)) break;
    Batch.Ends.append(Batch.Data.size());
    Batch.Ids.append(Query.Int64(0));
    Batch.Last = MarkOf(Query);
    if (Grown) Grown(Batch);
  }
  return Batch;
}

}  // namespace

TBatch ReadRecords(sqlite3* Db, const TMark& Mark, const QByteArray& Site, TBatchLimits Limits, const TGrowth& Grown,
                   bool Binary) {
  TNativeStatement query(Db, "SELECT rowid, RECTIME, CARDNO, READER, MODE FROM records WHERE rowid > ? ORDER BY rowid");
  query.BindInt64(1, Mark.Id);
  TBatch batch;
  batch.Binary = Binary;
  const auto append = [&Site](TBatch& Batch, const TNativeStatement& Row) {
    if (Batch.Binary && AppendBinaryRecord(Batch.Data, Row, Site)) return true;
    if (Batch.Binary && Batch.Rows() > 0) return false;
    Batch.Binary = false;
    AppendTextRow(Batch.Data, Row, {}, 4, Site);
    return true;
  };
  return Read(query, batch, Limits, Grown, append, [](const TNativeStatement& Row) {
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
  const QList<QByteArray> leading{Origin, Site};
  const auto append = [&leading, &columns](TBatch& Batch, const TNativeStatement& Row) {
    AppendTextRow(Batch.Data, Row, leading, static_cast<int>(columns.size()), QByteArray());
    return true;
  };
  return Read(query, TBatch(), Limits, Grown, append, [](const TNativeStatement& Row) {
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
