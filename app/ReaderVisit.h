#pragma once

#include <QString>

#include <exception>
#include <vector>

#include "LogDatabase.h"
#include "VisitJournal.h"

class TReader;
class TReaderPass;

// How one visit ended; Stop holds the error the run stops at (a port text that is no number).
struct TVisitEnd {
  TVisit Visit;
  std::exception_ptr Stop;
};

// One readers row visited, start to end, in the calling thread, by the serial and the parallel
// run alike: a port out of range is a bad row and skipped, an unreachable reader is an outcome,
// and every failure comes back as the visit's outcome rather than an exception.
TVisitEnd VisitReader(TReaderPass& Pass, TReader& Reader, const TReaderRow& Row, const TVisit& Visit, qint64 JournalId);

// Why a port text reaches no reader, or empty when it reaches one: the same rule for every way
// to run. Raises EConvertError for a text that is neither a number nor a service name.
QString PortRefusal(const QString& Port);

// The reader each readers row reaches, in table order, as "a.b.c.d:port", or the row's own text
// where its name is not resolved in time: two rows with one key are one reader.
std::vector<QString> ReaderKeys(const TLogDatabase& Db);

// A visit that an exception ended: a row that could not be read, or the database failing.
TVisit FailedVisit(TVisit Visit, const std::exception& Error);
