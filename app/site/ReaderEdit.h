#pragma once

#include <QString>

#include <QSqlRecord>

#include <optional>
#include <vector>

#include "ReaderAddress.h"

class TSiteConnection;

struct TReaderFlags {
  bool SetClock = false;
  bool Download = true;
  bool ClearAfter = false;
};

// quillmere --add-reader: appends Reader's row, unless a row already names the same reader;
// returns the exit code (Usage for that refusal, with nothing written).
int AddReader(const QString& DatabasePath, const TReaderAddress& Reader, const TReaderFlags& Flags);

// What --set-reader changes; a flag without a value stays as it is.
struct TFlagChanges {
  std::optional<bool> SetClock;
  std::optional<bool> Download;
  std::optional<bool> ClearAfter;
};

// quillmere --set-reader: changes those flags in every row that names the same reader as
// Reader and prints the rows as they now are; Usage, with nothing written, when no row does.
int SetReader(const QString& DatabasePath, const TReaderAddress& Reader, const TFlagChanges& Changes);

// quillmere --remove-reader: removes every row that names the same reader as Reader, printing
// each with its flags and the --add-reader that puts it back; records and visits stay. Usage
// when no row does.
int RemoveReader(const QString& DatabasePath, const TReaderAddress& Reader);

struct TListedReader {
  int Number = 0;  // from 1, in table order
  qint64 RowId = 0;
  TReaderAddress Reader;
  QSqlRecord Record;
};

// The rows a run would visit; one it cannot read names no reader.
std::vector<TListedReader> ReadableRows(const TSiteConnection& Connection);
// The rows that reach the same reader as Reader, as --jobs tells readers apart.
std::vector<TListedReader> SameReader(const std::vector<TListedReader>& Rows, const TReaderAddress& Reader);
