#include "ReadersTable.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <map>
#include <utility>

#include "Errors.h"
#include "LogDatabase.h"
#include "Sockets.h"
#include "SqlExec.h"
#include "ValueConversion.h"

namespace {

const QString AddressColumn = QStringLiteral("ipaddr");
const QString PortColumn = QStringLiteral("ipport");
const QString RowIdColumn = QStringLiteral("quillmere_rowid");

// Why a port reaches no reader; empty when it does. Raises EConvertError for a text that is
// neither a number nor a service name. The socket layer keeps only a port's low 16 bits, so
// 65537 would reach another reader; a number too long for it is out of range too, not "no number".
QString PortRefusal(const QString& Port) {
  if (Port.isEmpty()) return QStringLiteral("the port is empty");
  static const QRegularExpression Digits(QStringLiteral("^-?[0-9]+$"));
  const bool written = Digits.match(Port).hasMatch();
  bool fits = false;
  const qlonglong port = written ? Port.toLongLong(&fits) : ResolvePort(Port.toUtf8());
  if ((written && !fits) || port < 1 || port > HighestPort) return QStringLiteral("port %1 is outside 1 to %2").arg(Port).arg(HighestPort);
  return {};
}

void Refuse(TReaderEntry& Entry, TRowVerdict Verdict, const QString& Reason) {
  Entry.Verdict = Verdict;
  Entry.Reason = Reason;
}

void Unreadable(TReaderEntry& Entry, const QString& Column, const char* Conversion) {
  Entry.Column = Column;
  Entry.Conversion = QString::fromLocal8Bit(Conversion);
  Refuse(Entry, TRowVerdict::Unreadable, QStringLiteral("%1 (%2)").arg(Entry.Conversion, CellName(Entry.Number, Column)));
}

// The row's own cells, then its port, in the order a visit meets them.
TReaderEntry JudgeCells(std::size_t Number, const QSqlRecord& Record) {
  TReaderEntry entry;
  entry.Number = Number;
  entry.Record = Record;
  entry.RowId = Record.contains(RowIdColumn) ? Record.value(RowIdColumn).toLongLong() : -1;
  entry.Address = Record.value(AddressColumn).toString();
  entry.Port = Record.value(PortColumn).toString();
  try {
    entry.Values = ReadReaderColumns(Record);
  } catch (const EColumnError& Error) {
    Unreadable(entry, Error.Column, Error.what());
    return entry;
  }
  try {
    if (const QString refusal = PortRefusal(entry.Values->Port); !refusal.isEmpty()) Refuse(entry, TRowVerdict::PortOutOfRange, refusal);
  } catch (const EConvertError& Error) {
    Unreadable(entry, PortColumn, Error.what());
  }
  return entry;
}

// Rows whose address and port can be read name a reader, whatever their other cells hold.
void Identify(std::vector<TReaderEntry>& Entries, TNameLookup Lookup) {
  std::vector<std::pair<QByteArray, QByteArray>> peers;
  std::vector<TReaderEntry*> named;
  for (TReaderEntry& entry : Entries) {
    try {
      peers.emplace_back(ColumnText(entry.Record, AddressColumn).toUtf8(), ColumnText(entry.Record, PortColumn).toUtf8());
      named.push_back(&entry);
    } catch (const EConvertError&) {
    }
  }
  const std::vector<QString> keys = ReaderKeys(peers, Lookup);
  for (std::size_t i = 0; i < named.size(); ++i) named[i]->Identity = keys[i];
}

// A reader belongs to its first usable row.
void JudgePlaces(std::vector<TReaderEntry>& Entries) {
  std::map<QString, const TReaderEntry*> first;
  for (TReaderEntry& entry : Entries) {
    if (!entry.Usable()) continue;
    if (const auto found = first.find(entry.Identity); found != first.end()) {
      entry.SameAs = found->second->Number;
      Refuse(entry, TRowVerdict::SameReader,
             QStringLiteral("the same reader as row %1 (%2)").arg(entry.SameAs).arg(found->second->Text()));
    } else {
      first.emplace(entry.Identity, &entry);
    }
  }
}

}  // namespace

QString CellName(std::size_t Row, const QString& Column) {
  return QStringLiteral("readers row %1, column %2").arg(Row).arg(Column);
}

TReaderRow ReadReaderColumns(const QSqlRecord& Record) {
  return {ColumnText(Record, AddressColumn), ColumnText(Record, PortColumn), ColumnBoolean(Record, QStringLiteral("setclk")),
          ColumnBoolean(Record, QStringLiteral("download")), ColumnBoolean(Record, QStringLiteral("clrafter"))};
}

std::vector<QSqlRecord> ReadReaderRecords(const QSqlDatabase& Db, TRowIds RowIds) {
  QSqlQuery query(Db);
  query.setForwardOnly(true);
  Exec(query, RowIds == TRowIds::Read ? QStringLiteral("SELECT rowid AS %1, * FROM readers").arg(RowIdColumn)
                                      : QStringLiteral("SELECT * FROM readers"));
  std::vector<QSqlRecord> records;
  while (query.next()) records.push_back(query.record());
  // A step that stops early on a damaged page fails too: a half-read table is never the whole.
  if (const QSqlError error = query.lastError(); error.type() != QSqlError::NoError) {
    RaiseDatabaseError(error.nativeErrorCode().toInt(), error.text().toStdString());
  }
  return records;
}

std::vector<QSqlRecord> ReadReaderRecords(const TLogDatabase& Db) {
  return ReadReaderRecords(QSqlDatabase::database(Db.Connection(), false));
}

std::vector<TReaderEntry> JudgeReaders(const std::vector<QSqlRecord>& Records, TNameLookup Lookup) {
  std::vector<TReaderEntry> entries;
  for (const QSqlRecord& record : Records) entries.push_back(JudgeCells(entries.size() + 1, record));
  Identify(entries, Lookup);
  JudgePlaces(entries);
  return entries;
}

std::vector<TReaderEntry> ReadReaders(const TLogDatabase& Db) {
  return JudgeReaders(ReadReaderRecords(Db));
}
