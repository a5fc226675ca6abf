#pragma once

#include <QObject>
#include <QString>

#include <exception>
#include <map>
#include <memory>
#include <vector>

#include "StopToken.h"
#include "VisitWorker.h"

class IReaderBoard;
class IRunDisplay;
class QEventLoop;
class TRunJournal;

// Up to Jobs readers visited side by side, each by the same visit as ever, in a worker of its
// own with its own reader link: a reader's waits never hold up another's commands. This object
// lives in the window thread, which alone hands the rows out in table order, writes the journal
// and touches the windows; the workers reach it only through queued calls.
class TParallelRun : public QObject {
 public:
  // Once Stop is given, each visit under way ends at its next step and no row is handed out.
  TParallelRun(TLogDatabase& Db, const std::vector<TReaderEntry>& Readers, TRunJournal& Journal, IRunDisplay& Display, int Jobs,
               TStopToken Stop = {});
  ~TParallelRun() override;

  // Returns when the last visit has ended. A row that is not usable is a bad_row visit and the
  // rows after it are handed out all the same; a second row of one reader waits for the first.
  void Run();

 private:
  bool HandOutNext();
  void Refuse(const TReaderEntry& Entry, qint64 JournalId);
  void HandOut();
  void Start(TVisitOrder Order);
  void Ended(const TVisitOrder& Order, const TVisitEnd& End);

  TLogDatabase& Db;
  const std::vector<TReaderEntry>& Readers;
  TRunJournal& Journal;
  IRunDisplay& Display;
  int Jobs;
  TStopToken Stop;
  bool Stopped = false;
  std::exception_ptr Failure;
  QEventLoop* Loop = nullptr;
  std::unique_ptr<IReaderBoard> Board;
  std::size_t HandedOut = 0;
  // Every visit stores through this one connection, a page at a time: no visit waits on
  // another's lock or re-reads pages another connection changed.
  std::unique_ptr<TLogDatabase> Store;
  // Declared last, so they are joined before anything they touch goes.
  std::map<QString, std::unique_ptr<TVisitWorker>> Workers;
};
