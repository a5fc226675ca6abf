#pragma once

#include <QString>

#include "ReaderAddress.h"

struct TReaderFlags {
  bool SetClock = false;
  bool Download = true;
  bool ClearAfter = false;
};

// quillmere --add-reader: appends Reader's row, unless a row already names the same reader;
// returns the exit code (Usage for that refusal, with nothing written).
int AddReader(const QString& DatabasePath, const TReaderAddress& Reader, const TReaderFlags& Flags);

// quillmere --remove-reader: removes every row that names the same reader as Reader; records
// and visits stay. Usage when no row does.
int RemoveReader(const QString& DatabasePath, const TReaderAddress& Reader);
