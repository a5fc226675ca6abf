#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

#include "DateTime.h"
#include "PendingAlignment.h"

struct sqlite3;
class TNativeStatement;

// A short live event carries no time and no mode: it is stored at its arrival's time on this
// computer and kept pending (table live_pending) until the reader's log brings its copy, whose
// time and mode then replace the arrival's in the same row. A pending event belongs to the
// reader it came from, by the identity PeerIdentity gives it, whatever its row in readers is
// named meanwhile. A walk holds back the records of cards its reader has pending, and pairs
// them at its end (see AlignPending), however far off the reader's clock is. The table is the
// watch's: a file without it pairs nothing. A row a forward had sent, or may be sending, before
// its log copy came is noted for each such target (table forwarding_corrections), for its
// server's copy to be corrected. Used inside a write transaction; every failure raises
// EDatabaseError.
class TLiveCopies {
 public:
  explicit TLiveCopies(sqlite3* Db);
  ~TLiveCopies();
  TLiveCopies(const TLiveCopies&) = delete;
  TLiveCopies& operator=(const TLiveCopies&) = delete;

  // Makes the table where it is missing; from then on this connection pairs.
  void KeepPending();
  bool KeepsPending() const { return Kept; }

  // The record just inserted awaits its log copy.
  void AwaitLogCopy(const QString& Identity, int CardNo, const QByteArray& Arrival);
  // The record at Id has the log copy's time and card already: true when it was pending, and it
  // takes the log's mode.
  bool TakeExact(qint64 Id, int CardNo, const QByteArray& Time, int Mode);
  // Whether the reader has an event of CardNo pending. Files of earlier versions named the
  // reader by its row's address (Host).
  bool Awaits(const QString& Identity, const QString& Host, int CardNo);
  // The reader's pending events, by arrival.
  std::vector<TPendingEvent> PendingOf(const QString& Identity, const QString& Host);
  // The pending event's row takes its log copy's time and mode; false when the row is no longer
  // the one stored (deleted, or renumbered by a VACUUM), and the event is dropped.
  bool TakeAligned(const TPendingEvent& Event, TDateTime Time, int Mode);
  // Drops the reader's pending events that arrived before ArrivedBefore; how many.
  int Forget(const QString& Identity, const QString& Host, TDateTime ArrivedBefore);

 private:
  void Restamped(qint64 Id, int CardNo, const QByteArray& Was, const QByteArray& Time);

  sqlite3* Db;
  bool Kept;
  std::unique_ptr<TNativeStatement> Await;
  std::unique_ptr<TNativeStatement> Exact;
  std::unique_ptr<TNativeStatement> Waiting;
  std::unique_ptr<TNativeStatement> Update;
  std::unique_ptr<TNativeStatement> ModeUpdate;
  std::unique_ptr<TNativeStatement> MarkUpdate;
  std::unique_ptr<TNativeStatement> Correction;
};

// Makes forwarding_corrections where it is missing: rows a target's server has with another
// time or mode than logs.mdb now, by their local id, their time as sent and their card.
void KeepForwardingCorrections(sqlite3* Db);
