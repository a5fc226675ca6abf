#pragma once

#include <QSqlRecord>
#include <QString>

#include <cstddef>
#include <optional>
#include <vector>

#include "Sockets.h"

class QSqlDatabase;
class TLogDatabase;

// The values of a readers row a visit works from.
struct TReaderRow {
  QString Address;
  QString Port;
  bool SetClock = false;
  bool Download = false;
  bool ClearAfter = false;
};

// What a readers row is, judged once for every mode; each mode decides only what it does with it
// (a run stops at an unreadable row, --jobs skips it, a watch refuses it once).
enum class TRowVerdict {
  Usable,
  Unreadable,      // a cell a run cannot read; a port that is no number and no service name is one
  PortOutOfRange,  // empty, or outside 1 to HighestPort: its low 16 bits would reach another reader
  SameReader,      // an earlier usable row reaches the same reader
};

struct TReaderEntry {
  std::size_t Number = 0;  // from 1, in table order
  qint64 RowId = -1;       // -1 unless read with its rowid
  QSqlRecord Record;       // the row as read
  QString Address;         // as the row holds them, for reports; empty when missing
  QString Port;
  std::optional<TReaderRow> Values;  // when every cell could be read
  // The reader the row reaches, by ReaderKey; empty when its address or port cannot be read.
  QString Identity;
  TRowVerdict Verdict = TRowVerdict::Usable;
  std::size_t SameAs = 0;  // for SameReader: the row, from 1, that reaches it first
  QString Column;          // for Unreadable: the column of the cell
  QString Conversion;      // for Unreadable: why the cell cannot be read, in the conversion's words
  QString Reason;          // why the row is not usable, one line; empty when it is

  bool Usable() const { return Verdict == TRowVerdict::Usable; }
  QString Text() const { return Address + ':' + Port; }
};

// "readers row 3, column ipport".
QString CellName(std::size_t Row, const QString& Column);

// A readers row's values; raises EColumnError naming the cell a run cannot read.
TReaderRow ReadReaderColumns(const QSqlRecord& Record);

// Every row of readers in table order, with its rowid as column quillmere_rowid when asked (the
// site tools change rows by it; a view has none). Raises EDatabaseError when the table cannot be read.
enum class TRowIds { Left, Read };
std::vector<QSqlRecord> ReadReaderRecords(const QSqlDatabase& Db, TRowIds RowIds = TRowIds::Left);
std::vector<QSqlRecord> ReadReaderRecords(const TLogDatabase& Db);

// Each row judged once; names are looked up side by side, for IdentityLookupMs at most in all,
// unless Lookup is None.
std::vector<TReaderEntry> JudgeReaders(const std::vector<QSqlRecord>& Records, TNameLookup Lookup = TNameLookup::Bounded);
std::vector<TReaderEntry> ReadReaders(const TLogDatabase& Db);
