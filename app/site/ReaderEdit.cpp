#include "ReaderEdit.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cstdio>
#include <vector>

#include "Errors.h"
#include "Journal.h"
#include "ReaderList.h"
#include "SiteCommand.h"
#include "SiteConnection.h"
#include "Sockets.h"
#include "SqlExec.h"
#include "Transaction.h"
#include "ValueConversion.h"

namespace {


void Refuse(const QString& Text) {
  std::fprintf(stderr, "quillmere: %s\n", Text.toLocal8Bit().constData());
}

void Insert(const TSiteConnection& Connection, const TReaderAddress& Reader, const TReaderFlags& Flags) {
  QSqlQuery insert(Connection.Db());
  insert.prepare(QStringLiteral("INSERT INTO readers (ipaddr, ipport, setclk, download, clrafter) VALUES (?, ?, ?, ?, ?)"));
  insert.addBindValue(Reader.Address);
  insert.addBindValue(Reader.Port);
  insert.addBindValue(Flags.SetClock ? 1 : 0);
  insert.addBindValue(Flags.Download ? 1 : 0);
  insert.addBindValue(Flags.ClearAfter ? 1 : 0);
  Exec(insert);
}

// The row with its flags in words; a flag a run cannot read is said instead.
QString RowWords(const TListedReader& Row) {
  QString flags;
  try {
    flags = FlagWords(ReadReaderColumns(Row.Record));
  } catch (const EConvertError& Error) {
    flags = QString::fromStdString(Error.what());
  }
  return QStringLiteral("row %1 (%2: %3)").arg(QString::number(Row.Number), Row.Reader.Text(), flags);
}

// The start that writes the row again as it was; empty when its flags cannot be read.
QString PutBack(const TListedReader& Row) {
  try {
    const TReaderRow flags = ReadReaderColumns(Row.Record);
    QString again = QStringLiteral("; to put it back: quillmere --add-reader ") + Row.Reader.Text();
    if (flags.SetClock) again += QStringLiteral(" --set-clock");
    if (flags.ClearAfter) again += QStringLiteral(" --clear-after");
    if (!flags.Download) again += QStringLiteral(" --no-download");
    return again;
  } catch (const EConvertError&) {
    return {};
  }
}

void Update(const TSiteConnection& Connection, qint64 RowId, const TFlagChanges& Changes) {
  QStringList columns;
  QVariantList values;
  for (const auto& [column, change] : {std::pair{"setclk", Changes.SetClock}, std::pair{"download", Changes.Download},
                                       std::pair{"clrafter", Changes.ClearAfter}}) {
    if (!change) continue;
    columns << QLatin1String(column) + QStringLiteral(" = ?");
    values << (*change ? 1 : 0);
  }
  QSqlQuery update(Connection.Db());
  update.prepare(QStringLiteral("UPDATE readers SET %1 WHERE rowid = ?").arg(columns.join(QStringLiteral(", "))));
  for (const QVariant& value : values) update.addBindValue(value);
  update.addBindValue(RowId);
  Exec(update);
}

std::vector<TListedReader> Refreshed(const TSiteConnection& Connection, const std::vector<TListedReader>& Rows) {
  std::vector<TListedReader> now;
  for (const TListedReader& row : ReadableRows(Connection)) {
    for (const TListedReader& changed : Rows) {
      if (changed.RowId == row.RowId) now.push_back(row);
    }
  }
  return now;
}

}  // namespace

std::vector<TListedReader> ReadableRows(const TSiteConnection& Connection) {
  QSqlQuery rows(Connection.Db());
  rows.setForwardOnly(true);
  Exec(rows, QStringLiteral("SELECT rowid AS quillmere_rowid, * FROM readers"));
  std::vector<TListedReader> listed;
  for (int number = 1; rows.next(); ++number) {
    const QSqlRecord record = rows.record();
    try {
      listed.push_back({number, record.value(0).toLongLong(),
                        {ColumnText(record, QStringLiteral("ipaddr")), ColumnText(record, QStringLiteral("ipport"))}, record});
    } catch (const EConvertError&) {
    }
  }
  return listed;
}

std::vector<TListedReader> SameReader(const std::vector<TListedReader>& Rows, const TReaderAddress& Reader) {
  std::vector<TReaderAddress> addresses;
  for (const TListedReader& row : Rows) addresses.push_back(row.Reader);
  const std::vector<bool> matches = SameReaderAs(Reader, addresses);
  std::vector<TListedReader> same;
  for (std::size_t i = 0; i < Rows.size(); ++i) {
    if (matches[i]) same.push_back(Rows[i]);
  }
  return same;
}

int SetReader(const QString& DatabasePath, const TReaderAddress& Reader, const TFlagChanges& Changes) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnwritable, [&] {
    const TSiteConnection connection(DatabasePath, TAccess::Write);
    TTransaction transaction(connection.Native());
    const std::vector<TListedReader> same = SameReader(ReadableRows(connection), Reader);
    if (same.empty()) {
      Refuse(QStringLiteral("no row of readers names %1; nothing written").arg(Reader.Text()));
      return TExitStatus::Usage;
    }
    for (const TListedReader& row : same) Update(connection, row.RowId, Changes);
    const std::vector<TListedReader> now = Refreshed(connection, same);
    transaction.Commit();
    for (const TListedReader& row : now) {
      std::printf("quillmere: set %s\n", RowWords(row).toLocal8Bit().constData());
    }
    return TExitStatus::Ok;
  });
}

int AddReader(const QString& DatabasePath, const TReaderAddress& Reader, const TReaderFlags& Flags) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnwritable, [&] {
    const TSiteConnection connection(DatabasePath, TAccess::Write);
    TTransaction transaction(connection.Native());
    const std::vector<TListedReader> same = SameReader(ReadableRows(connection), Reader);
    if (!same.empty()) {
      Refuse(QStringLiteral("%1 is the reader of row %2 (%3) already; nothing written")
                 .arg(Reader.Text())
                 .arg(same.front().Number)
                 .arg(same.front().Reader.Text()));
      return TExitStatus::Usage;
    }
    Insert(connection, Reader, Flags);
    transaction.Commit();
    if (Flags.ClearAfter && !Flags.Download) {
      JournalLine(TPriority::Warning,
                  QStringLiteral("quillmere: %1 has clear after without download: each visit clears its log unread").arg(Reader.Text()));
    }
    std::printf("quillmere: added %s\n", Reader.Text().toLocal8Bit().constData());
    return TExitStatus::Ok;
  });
}

int RemoveReader(const QString& DatabasePath, const TReaderAddress& Reader) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnwritable, [&] {
    const TSiteConnection connection(DatabasePath, TAccess::Write);
    TTransaction transaction(connection.Native());
    const std::vector<TListedReader> same = SameReader(ReadableRows(connection), Reader);
    if (same.empty()) {
      Refuse(QStringLiteral("no row of readers names %1; nothing removed").arg(Reader.Text()));
      return TExitStatus::Usage;
    }
    QSqlQuery remove(connection.Db());
    remove.prepare(QStringLiteral("DELETE FROM readers WHERE rowid = ?"));
    for (const TListedReader& row : same) {
      remove.bindValue(0, row.RowId);
      Exec(remove);
    }
    transaction.Commit();
    for (const TListedReader& row : same) {
      std::printf("quillmere: removed %s; its records and visits stay%s\n", RowWords(row).toLocal8Bit().constData(),
                  PutBack(row).toLocal8Bit().constData());
    }
    return TExitStatus::Ok;
  });
}
