#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "ReaderAddress.h"

struct sqlite3;

enum class TExportFormat { Csv, JsonLines };

// What --export writes: records whose RECTIME lies from From to To, both inclusive, as RECTIME
// holds them ('YYYY-MM-DD HH:MM:SS'); an empty bound is open.
// With Reader, only the records whose READER names the same reader: the same address, as the
// site tools tell readers apart (READER keeps no port); with Cards, only those cards.
struct TExportRequest {
  QString From;
  QString To;
  TExportFormat Format = TExportFormat::Csv;
  std::optional<TReaderAddress> Reader = {};  // Port empty when not given
  QList<qint64> Cards = {};
  std::optional<QStringList> ReaderNames = {};  // the READER texts of Reader, found by ExportRecords
};

// A bound of --from (Upper false) or --to (Upper true) in local time, YYYY-MM-DD[ HH:MM[:SS]],
// today, yesterday or -Nd (N days before today), as RECTIME compares: a day or a minute alone
// reaches from its first second, or to its last. Empty when Text is no such date and time.
std::optional<QString> ExportBound(const QString& Text, bool Upper);

// Writes the records Request names to Out in time order: CSV by RFC 4180 with a header line,
// or one JSON object per line. One read transaction, row by row, so memory stays flat and a
// run writing meanwhile shows nothing half-stored. Returns the rows written; raises
// EDatabaseError, or EOutputError when Out fails.
qint64 WriteRecords(sqlite3* Db, const TExportRequest& Request, std::FILE* Out);

// quillmere --export: the records on Out, standard output; returns the exit code.
int ExportRecords(const QString& DatabasePath, const TExportRequest& Request, std::FILE* Out);

class EOutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
