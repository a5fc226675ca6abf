#pragma once

#include <QByteArray>
#include <QList>

#include <functional>

#include "LocalState.h"

struct sqlite3;

// Rows of a local table after a mark, in COPY's text or binary format (the binary without its
// header and trailer), with each row's end and local id so a part of the batch can be sent alone.
struct TBatch {
  QByteArray Data;
  bool Binary = false;
  QList<qsizetype> Ends;
  QList<qint64> Ids;
  TMark Last;
  bool AtEnd = false;  // the table held no more rows than these when it was read

  qsizetype Rows() const { return Ends.size(); }
  qsizetype Begin(qsizetype Row) const { return Row == 0 ? 0 : Ends[Row - 1]; }
};

struct TBatchLimits {
  int Rows = 0;
  qsizetype Bytes = 0;
};

// Told of the batch after each row it gains, so that its start can be on its way to the server
// while the rest is read.
using TGrowth = std::function<void(const TBatch&)>;

// The records after Mark, each with Site appended, up to the limits (at least one row while
// there is one). Read on the connection's native handle: Qt's row objects would cost more than
// the server's work. Binary: in that format, for as long as the rows' values allow; a batch
// then ends before a row it cannot carry exactly, and one that would begin with it is text.
// Raises EDatabaseError.
TBatch ReadRecords(sqlite3* Db, const TMark& Mark, const QByteArray& Site, TBatchLimits Limits, const TGrowth& Grown = {},
                   bool Binary = false);

// How many records lie after Mark. Raises EDatabaseError.
qint64 CountRecords(sqlite3* Db, const TMark& Mark);

// The visits after Mark that have ended, each with Origin and Site first. Raises EDatabaseError.
TBatch ReadVisits(sqlite3* Db, const TMark& Mark, const QByteArray& Origin, const QByteArray& Site, TBatchLimits Limits,
                  const TGrowth& Grown = {});

// The file keeps the visits journal, not a table of that name made for another purpose.
bool HasVisitsJournal(sqlite3* Db);
