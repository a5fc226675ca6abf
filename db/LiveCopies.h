#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include "DateTime.h"

struct sqlite3;
class TNativeStatement;

// A short live event carries no time and no mode: it is stored at its arrival's time on this
// computer and kept pending (table live_pending) until the reader's log brings its copy, whose
// time and mode then replace the arrival's in the same row. A log record takes the oldest
// pending event of its reader and card whose arrival lies within PairingBoundDays of the
// record's time: the bound is how far off the reader's clock may be (a reader left on the
// other side of a summer-time change is an hour off), while one card at one reader pairs in
// order, however close its swipes. The table is the watch's: a file without it pairs nothing.
// A row a forward had sent, or may be sending, before its log copy came is noted for each such
// target (table forwarding_corrections), for its server's copy to be corrected.
// Used inside a write transaction; every failure raises EDatabaseError.
class TLiveCopies {
 public:
  static constexpr double PairingBoundDays = 2.0 / 24;

  explicit TLiveCopies(sqlite3* Db);
  ~TLiveCopies();
  TLiveCopies(const TLiveCopies&) = delete;
  TLiveCopies& operator=(const TLiveCopies&) = delete;

  // Makes the table where it is missing; from then on this connection pairs.
  void KeepPending();

  // The record just inserted awaits its log copy.
  void AwaitLogCopy(const QString& Reader, int CardNo, const QByteArray& Arrival);
  // The record at Id has the log copy's time and card already: true when it was pending, and it
  // takes the log's mode.
  bool TakeExact(qint64 Id, int CardNo, const QByteArray& Time, int Mode);
  // True when a pending event of Reader and CardNo took the log copy's time and mode.
  bool TakeNearest(const QString& Reader, int CardNo, TDateTime Time, int Mode);

 private:
  void Restamped(qint64 Id, int CardNo, const QByteArray& Was, const QByteArray& Time);

  sqlite3* Db;
  bool Kept;
  std::unique_ptr<TNativeStatement> Await;
  std::unique_ptr<TNativeStatement> Exact;
  std::unique_ptr<TNativeStatement> Nearest;
  std::unique_ptr<TNativeStatement> Update;
  std::unique_ptr<TNativeStatement> ModeUpdate;
  std::unique_ptr<TNativeStatement> MarkUpdate;
  std::unique_ptr<TNativeStatement> Correction;
};

// Makes forwarding_corrections where it is missing: rows a target's server has with another
// time or mode than logs.mdb now, by their local id, their time as sent and their card.
void KeepForwardingCorrections(sqlite3* Db);
