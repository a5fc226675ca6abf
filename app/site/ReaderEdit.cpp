#include "ReaderEdit.h"

#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cstdio>
#include <vector>

#include "Journal.h"
#include "ReaderList.h"
#include "SiteCommand.h"
#include "SiteConnection.h"
#include "SqlExec.h"
#include "Transaction.h"

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
QString RowWords(const TReaderEntry& Row) {
  const QString flags = Row.Values ? FlagWords(*Row.Values) : Row.Conversion;
  return QStringLiteral("row %1 (%2: %3)").arg(QString::number(Row.Number), Row.Text(), flags);
}

// The start that writes the row again as it was; empty when its flags cannot be read.
QString PutBack(const TReaderEntry& Row) {
  if (!Row.Values) return {};
  QString again = QStringLiteral("; to put it back: quillmere --add-reader ") + Row.Text();
  if (Row.Values->SetClock) again += QStringLiteral(" --set-clock");
  if (Row.Values->ClearAfter) again += QStringLiteral(" --clear-after");
  if (!Row.Values->Download) again += QStringLiteral(" --no-download");
  return again;
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

std::vector<TReaderEntry> Refreshed(const TSiteConnection& Connection, const std::vector<TReaderEntry>& Rows) {
  std::vector<TReaderEntry> now;
  for (const TReaderEntry& row : NamingRows(Connection)) {
    for (const TReaderEntry& changed : Rows) {
      if (changed.RowId == row.RowId) now.push_back(row);
    }
  }
  return now;
}

QSqlField Cell(const QString& Column, const QString& Value) {
  QSqlField field(Column, QMetaType(QMetaType::QString));
  field.setValue(Value);
  return field;
}

// Those of Entries whose reader is Wanted's; none when Wanted names no reader.
std::vector<TReaderEntry> OfReader(const std::vector<TReaderEntry>& Entries, const QString& Wanted) {
  std::vector<TReaderEntry> same;
  for (const TReaderEntry& entry : Entries) {
    if (!Wanted.isEmpty() && entry.Identity == Wanted) same.push_back(entry);
  }
  return same;
}

}  // namespace

std::vector<TReaderEntry> NamingRows(const TSiteConnection& Connection) {
  std::vector<TReaderEntry> entries = JudgeReaders(ReadReaderRecords(Connection.Db(), TRowIds::Read));
  std::erase_if(entries, [](const TReaderEntry& Entry) { return Entry.Identity.isEmpty(); });
  return entries;
}

// Reader is judged as one more row of the table: its names are looked up with theirs, at once.
std::vector<TReaderEntry> SameReader(const TSiteConnection& Connection, const TReaderAddress& Reader) {
  std::vector<QSqlRecord> records = ReadReaderRecords(Connection.Db(), TRowIds::Read);
  QSqlRecord wanted;
  wanted.append(Cell(QStringLiteral("ipaddr"), Reader.Address));
  wanted.append(Cell(QStringLiteral("ipport"), Reader.Port));
  records.push_back(wanted);
  std::vector<TReaderEntry> entries = JudgeReaders(records);
  const QString identity = entries.back().Identity;
  entries.pop_back();
  return OfReader(entries, identity);
}

int SetReader(const QString& DatabasePath, const TReaderAddress& Reader, const TFlagChanges& Changes) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnwritable, [&] {
    const TSiteConnection connection(DatabasePath, TAccess::Write);
    TTransaction transaction(connection.Native());
    const std::vector<TReaderEntry> same = SameReader(connection, Reader);
    if (same.empty()) {
      Refuse(QStringLiteral("no row of readers names %1; nothing written").arg(Reader.Text()));
      return TExitStatus::Usage;
    }
    for (const TReaderEntry& row : same) Update(connection, row.RowId, Changes);
    const std::vector<TReaderEntry> now = Refreshed(connection, same);
    transaction.Commit();
    for (const TReaderEntry& row : now) {
      std::printf("quillmere: set %s\n", RowWords(row).toLocal8Bit().constData());
    }
    return TExitStatus::Ok;
  });
}

int AddReader(const QString& DatabasePath, const TReaderAddress& Reader, const TReaderFlags& Flags) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnwritable, [&] {
    const TSiteConnection connection(DatabasePath, TAccess::Write);
    TTransaction transaction(connection.Native());
    const std::vector<TReaderEntry> same = SameReader(connection, Reader);
    if (!same.empty()) {
      Refuse(QStringLiteral("%1 is the reader of row %2 (%3) already; nothing written")
                 .arg(Reader.Text())
                 .arg(same.front().Number)
                 .arg(same.front().Text()));
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
    const std::vector<TReaderEntry> same = SameReader(connection, Reader);
    if (same.empty()) {
      Refuse(QStringLiteral("no row of readers names %1; nothing removed").arg(Reader.Text()));
      return TExitStatus::Usage;
    }
    QSqlQuery remove(connection.Db());
    remove.prepare(QStringLiteral("DELETE FROM readers WHERE rowid = ?"));
    for (const TReaderEntry& row : same) {
      remove.bindValue(0, row.RowId);
      Exec(remove);
    }
    transaction.Commit();
    for (const TReaderEntry& row : same) {
      std::printf("quillmere: removed %s; its records and visits stay%s\n", RowWords(row).toLocal8Bit().constData(),
                  PutBack(row).toLocal8Bit().constData());
    }
    return TExitStatus::Ok;
  });
}
