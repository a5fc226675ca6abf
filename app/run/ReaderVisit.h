#pragma once

#include <QString>

#include <exception>

#include "Errors.h"
#include "LogDatabase.h"
#include "Reader.h"
#include "ReadersTable.h"
#include "VisitJournal.h"

class TReaderPass;

// How one visit ended; Stop holds the error the run stops at: an unreadable row, or logs.mdb
// failing to take what was read.
struct TVisitEnd {
  TVisit Visit;
  std::exception_ptr Stop;
};

// Who visits: a run, serial or side by side, makes each reader's line for its visit and leaves
// it; a watch keeps the line for its life, made before the visit and carrying live events after.
enum class TVisitor { Run, Watch };

// One readers row visited, start to end, in the calling thread, by the serial run, the parallel
// run and the watch alike: a row the readers table found usable, or the same reader as another.
// An unreachable reader is an outcome, and every failure comes back as the visit's outcome rather
// than an exception. Its row in the journal, JournalId, is started by the caller and kept current
// as pages are stored.
TVisitEnd VisitReader(TReaderPass& Pass, TReader& Link, const TReaderRow& Row, const TVisit& Visit, qint64 JournalId,
                      TVisitor By = TVisitor::Run);

// What a run that stops at an unreadable row raises, for the box: the conversion's text, then where.
std::exception_ptr RowStop(const TReaderEntry& Entry);

// A visit of a row that is not usable, which ends as soon as it starts: a bad row, and why.
TVisit RefusedVisit(const TReaderEntry& Entry);
// The visit of a row as it starts: its address and port as the row holds them.
TVisit EntryVisit(const TReaderEntry& Entry);
