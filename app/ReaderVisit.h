#pragma once

#include <exception>

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

// A visit that an exception ended: a row that could not be read, or the database failing.
TVisit FailedVisit(TVisit Visit, const std::exception& Error);
