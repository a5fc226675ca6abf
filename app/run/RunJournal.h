#pragma once

#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <map>

#include "Journal.h"
#include "VisitJournal.h"

class TLogDatabase;

// What a run tells about itself: a row per visit in the table visits (when the file allows
// it) and a line per visit, and at the run's start and end, for the system journal.
class TRunJournal {
 public:
  // KeepBack: a long-lived watch that cannot open the journal now (another program's hold, a
  // full disk) keeps its rows back until it can, rather than go on without it for its life.
  explicit TRunJournal(const TLogDatabase& Db, bool KeepBack = false);
  ~TRunJournal();  // the run's closing line, however the run ends
  TRunJournal(const TRunJournal&) = delete;
  TRunJournal& operator=(const TRunJournal&) = delete;

  // True once logs.mdb failed to take a visit's records or its row: a full or failing disk.
  bool FileFailed() const { return DiskFailed; }

  qint64 VisitStarted(const TVisit& Visit);
  void VisitEnded(qint64 Id, const TVisit& Visit);
  // From a watch's pass thread, through the store it shares with the other passes: the visit's
  // running row, or -1 when the file cannot take it now (the row is then written whole at the
  // end, kept back as any other); the pass goes on either way.
  qint64 VisitStartedIn(TLogDatabase& Store, const TVisit& Visit) const;
  // The watch's rows, written once their visit ended (Id: its running row, if it got one): a row
  // logs.mdb cannot take now is kept back, in order, and written by a later call or by
  // WriteKeptBack. VisitWhole also says and counts the visit (a store_failed one is tried again
  // by the watch, which judges it); LineDown (a watched line that dropped, a row for the check)
  // does neither; the same reader's next LineDown ends that outage, in the same row, which then
  // says how long it lasted. A reader whose outage lasts to the end counts as a visit not done.
  void VisitWhole(const TVisit& Visit, qint64 Id = -1);
  // A pass that lost a line already down: its running row Id is ended, neither said nor counted.
  void RowOnly(const TVisit& Visit, qint64 Id);
  void LineDown(const TVisit& Visit);
  void WriteKeptBack();
  // What is still kept back is said lost, and counts as the file's failure.
  void GiveUpKeptBack();
  // A stopping watch's live events, Stored in all: those no visit row counted yet count in the
  // closing line.
  void LiveEventsStored(int Stored);
  // Readers a stopping watch never reached: each a visit not done, as a reader down at the end.
  void ReadersNeverReached(int Readers) { Unreached = Readers; }
  // A stop signal ended a run before its last row: its closing line says so.
  void RunStopped() { Stopped = true; }

 private:
  struct TKeptBack {
    qint64 Id = -1;  // its row, once started
    TVisit Visit;
    QString Outage;  // the reader whose outage this row opens, while it lasts
  };
  void OpenVisits();
  void Count(const TVisit& Visit);
  void Write(const TVisit& Visit, const std::function<void()>& Statements);
  void StopWriting(TPriority Priority, const QString& Why);
  void Line(const TVisit& Visit) const;

  TVisitJournal Visits;
  QString DatabasePath;
  QString ConnectionName;
  bool Watching;  // only a watch keeps rows back
  std::atomic<bool> Opened{false};  // these two also read by a watch's pass threads
  std::deque<TKeptBack> KeptBack;
  std::map<QString, qint64> OpenOutages;  // by reader: its line_down row, -1 while kept back
  bool KeepingBack = false;  // said so; its end is said too
  std::atomic<bool> Writing{true};
  bool Stopped = false;
  bool DiskFailed = false;
  int VisitCount = 0;
  int DoneCount = 0;
  int AddedCount = 0;
  int LiveCount = 0;
  int Unreached = 0;
};
