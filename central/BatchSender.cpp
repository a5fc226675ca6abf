#include "BatchSender.h"

#include <QStringList>

#include <utility>

#include "PgConnection.h"
#include "ServerError.h"
#include "VisitJournal.h"

namespace {

const char* const UniqueViolation = "23505";

QString VisitsMerge() {
  QStringList columns = VisitColumns();
  columns.prepend(QStringLiteral("site"));
  columns.prepend(QStringLiteral("origin"));
  QStringList updated;
  QStringList excluded;
  for (const QString& column : columns) {
    if (column == QLatin1String("origin") || column == QLatin1String("id") || column == QLatin1String("started")) continue;
    updated << column;
    excluded << QStringLiteral("EXCLUDED.") + column;
  }
  // Every column but the key: a resend never leaves a row half one visit and half another.
  return QStringLiteral("INSERT INTO visits (%1) SELECT %1 FROM forward_visits ON CONFLICT (origin, id, started) "
                        "DO UPDATE SET (%2) = ROW(%3)")
      .arg(columns.join(QStringLiteral(", ")), updated.join(QStringLiteral(", ")), excluded.join(QStringLiteral(", ")));
}

[[noreturn]] void RefuseCount(qint64 Taken, qsizetype Sent) {
  throw EServerError(TServerFailure::NeedsPerson,
                     QStringLiteral("the server took %1 of the %2 rows of a batch (a trigger or rule on its table?); nothing of it was kept")
                         .arg(Taken)
                         .arg(Sent));
}

}  // namespace

const TServerTable& RecordsTable() {
  static const TServerTable Table = {
      QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS forward_records (rectime timestamp, cardno integer, reader text, "
                     "mode smallint, site text) ON COMMIT DELETE ROWS"),
      QStringLiteral("COPY forward_records FROM STDIN"),
      QStringLiteral("INSERT INTO records (rectime, cardno, reader, mode, site) SELECT rectime, cardno, reader, mode, site "
                     "FROM forward_records ON CONFLICT (rectime, cardno) DO NOTHING"),
      QStringLiteral("TRUNCATE forward_records"),
      QStringLiteral("COPY records (rectime, cardno, reader, mode, site) FROM STDIN"),
  };
  return Table;
}

const TServerTable& VisitsTable() {
  static const TServerTable Table = {
      QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS forward_visits (origin text, site text, id bigint, started timestamp, "
                     "ended timestamp, ipaddr text, ipport text, outcome text, records_reported integer, added integer, "
                     "duplicates integer, invalid integer, clock_set smallint, cleared smallint, detail text) ON COMMIT DELETE ROWS"),
      QStringLiteral("COPY forward_visits FROM STDIN"),
      VisitsMerge(),
      QStringLiteral("TRUNCATE forward_visits"),
      QString(),
  };
  return Table;
}

TBatchSender::TBatchSender(TPgConnection& Server, const TServerTable& Table, std::function<void()> BeforeCommit)
    : Server(Server), Table(Table), BeforeCommit(std::move(BeforeCommit)) {
  Server.Exec(Table.Scratch);
}

QList<TSetAside> TBatchSender::Send(const TBatch& Batch) {
  QList<TSetAside> refused;
  Server.Exec(QStringLiteral("BEGIN"));
  SendWhole(Batch, refused);
  if (BeforeCommit) BeforeCommit();
  Server.Exec(QStringLiteral("COMMIT"));
  return refused;
}

void TBatchSender::SendWhole(const TBatch& Batch, QList<TSetAside>& Refused) {
  try {
    if (Overlapping || Table.CopyDirect.isEmpty()) {
      Merge(Batch, 0, Batch.Rows());
      return;
    }
    const qint64 taken = Server.Copy(Table.CopyDirect, Batch.Data);
    if (taken != Batch.Rows()) RefuseCount(taken, Batch.Rows());
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

void TBatchSender::Merge(const TBatch& Batch, qsizetype From, qsizetype To) {
  const qsizetype begin = Batch.Begin(From);
  const qint64 taken = Server.Copy(Table.CopyScratch, QByteArray::fromRawData(Batch.Data.constData() + begin, Batch.Ends[To - 1] - begin));
  if (taken != To - From) RefuseCount(taken, To - From);
  Server.Exec(Table.Merge);
  Server.Exec(Table.ClearScratch);
}

// Each half under a savepoint of its own: a refused half is undone alone and halved again,
// down to the one row that the server refuses.
void TBatchSender::Halve(const TBatch& Batch, qsizetype From, qsizetype To, QList<TSetAside>& Refused) {
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
      Refused.append({Batch.Ids[From], QStringLiteral("%1 (SQLSTATE %2)").arg(Error.Message(), Error.SqlState())});
      return;
    }
  }
  const qsizetype middle = From + (To - From) / 2;
  Halve(Batch, From, middle, Refused);
  Halve(Batch, middle, To, Refused);
}

void TBatchSender::Restart() {
  Server.Exec(QStringLiteral("ROLLBACK"));
  Server.Exec(QStringLiteral("BEGIN"));
}
