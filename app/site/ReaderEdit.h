#pragma once

#include <QString>

#include <optional>
#include <vector>

#include "ReaderAddress.h"
#include "ReadersTable.h"

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

// The rows that name a reader, with their rowids: those whose address and port can be read.
std::vector<TReaderEntry> NamingRows(const TSiteConnection& Connection);
// Those that reach the same reader as Reader, by the one test every mode tells readers apart by.
std::vector<TReaderEntry> SameReader(const TSiteConnection& Connection, const TReaderAddress& Reader);
