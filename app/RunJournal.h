#pragma once

#include <QString>

#include <cstddef>
#include <functional>

#include "Journal.h"
#include "VisitJournal.h"

class TLogDatabase;

// The current readers row as its visit starts: its address and port as the row holds them.
TVisit RowVisit(const TLogDatabase& Db);
// The same of any row, from 0 in table order.
TVisit RowVisit(const TLogDatabase& Db, std::size_t Row);

// What a run tells about itself: a row per visit in the table visits (when the file allows
// it) and a line per visit, and at the run's start and end, for the system journal.
class TRunJournal {
 public:
  explicit TRunJournal(const TLogDatabase& Db);
  ~TRunJournal();  // the run's closing line, however the run ends
  TRunJournal(const TRunJournal&) = delete;
  TRunJournal& operator=(const TRunJournal&) = delete;

  // True once logs.mdb failed to take a visit's records or its row: a full or failing disk.
  bool FileFailed() const { return DiskFailed; }

  qint64 VisitStarted(const TVisit& Visit);
  void VisitEnded(qint64 Id, const TVisit& Visit);
  // A watched line that dropped: its row, for the check; the watch said it, and it visits nothing.
  void LineDown(const TVisit& Visit);

 private:
  void Write(const TVisit& Visit, const std::function<void()>& Statements);
  void StopWriting(TPriority Priority, const QString& Why);
  void Line(const TVisit& Visit) const;

  TVisitJournal Visits;
  QString DatabasePath;
  bool Writing = true;
  bool DiskFailed = false;
  int VisitCount = 0;
  int DoneCount = 0;
  int AddedCount = 0;
};
