#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

#include "LocalRows.h"
#include "ServerError.h"

class TPgConnection;

// How one local table goes into its server table: COPY into a scratch table, then a merge
// that keeps each row once; and, for records, a straight COPY that a first forward takes.
struct TServerTable {
  QString Scratch;  // CREATE TEMP TABLE for the scratch
  QString CopyScratch;
  QString Merge;  // scratch into the table, the table's unique key deciding
  QString ClearScratch;
  QString CopyDirect;  // empty: always through the scratch
};

const TServerTable& RecordsTable();
const TServerTable& VisitsTable();

// One batch, one transaction on the server. The server's row count is checked before the
// commit. A row whose values the server refuses is found by halving, set aside, and the rest
// of the batch committed without it. Past MaxSetAside such rows in one forward, or when every
// row a forward sent so far was refused and the refusals blame the table, the server is taken
// to refuse the table, not rows (no partition for them, a CHECK no row meets), and the batch
// fails as needing a person, nothing of it set aside. A batch of one row cannot tell the two
// apart by count: the table is blamed by a missing partition (a check's refusal that names no
// constraint), or by TableEvidenceRows rows refused for other than their values, a named CHECK
// among them; a value the server cannot read (class 22) is always the row's. Raises EServerError.
class TBatchSender {
 public:
  // OnCommit is called after a batch reached the server, before its commit.
  TBatchSender(TPgConnection& Connection, const TServerTable& Into, std::function<void()> OnCommit);

  // For a batch still being read: each stretch of StreamBytes goes on the wire at once, in the
  // transaction and COPY that Send then ends.
  void Grown(const TBatch& Batch);
  // The rows the server refused, with its reasons; the rest is committed.
  QList<TSetAside> Send(const TBatch& Batch);

  static constexpr qsizetype MaxSetAside = 50;
  static constexpr qsizetype TableEvidenceRows = 3;
  static constexpr qsizetype StreamBytes = 64 << 10;

 private:
  void SendWhole(const TBatch& Batch, QList<TSetAside>& Refused);
  qint64 CopyWhole(const TBatch& Batch);
  void StartCopy(const QString& Sql, const TBatch& Batch);
  bool Merging() const;
  const QString& FirstCopy() const;
  void MergeScratch();
  void Begin(bool NeedsScratch);
  void Merge(const TBatch& Batch, qsizetype From, qsizetype To);
  void Halve(const TBatch& Batch, qsizetype From, qsizetype To, QList<TSetAside>& Refused);
  void Restart();
  bool TableRefuses(const TBatch& Batch, const QList<TSetAside>& Refused) const;

  TPgConnection& Server;
  const TServerTable& Table;
  std::function<void()> BeforeCommit;
  qsizetype SetAside = 0;  // in earlier batches of this forward
  qsizetype Kept = 0;      // rows the server took in earlier batches of this forward
  std::optional<EServerError> LastRefusal;
  qsizetype RefusedNotForValues = 0;  // rows of this forward refused for other than a value's form
  bool Overlapping = false;  // a row of this forward was there already: the rest goes through the merge
  bool Streaming = false;    // the batch's transaction and COPY have begun
  qsizetype Streamed = 0;    // bytes of the batch on the wire
  bool ScratchMade = false;
  bool BeginPending = false;  // the batch's BEGIN goes with its first statement
};
