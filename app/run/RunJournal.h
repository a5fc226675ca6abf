#pragma once

#include <QString>

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
  // The watch's rows, written once their visit ended: a row logs.mdb cannot take now is kept
  // back, in order, and written by a later call or by WriteKeptBack. VisitWhole also says and
  // counts the visit (a store_failed one is tried again by the watch, which judges it);
  // LineDown (a watched line that dropped, a row for the check) does neither; the same reader's
  // next LineDown ends that outage, in the same row, which then says how long it lasted.
  void VisitWhole(const TVisit& Visit);
  void LineDown(const TVisit& Visit);
  void WriteKeptBack();
  // What is still kept back is said lost, and counts as the file's failure.
  void GiveUpKeptBack();
  // A stopping watch's live events, Stored in all: those no visit row counted yet count in the
  // closing line.
  void LiveEventsStored(int Stored);

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
  bool Opened = false;
  std::deque<TKeptBack> KeptBack;
  std::map<QString, qint64> OpenOutages;  // by reader: its line_down row, -1 while kept back
  bool KeepingBack = false;  // said so; its end is said too
  bool Writing = true;
  bool DiskFailed = false;
  int VisitCount = 0;
  int DoneCount = 0;
  int AddedCount = 0;
  int LiveCount = 0;
};
