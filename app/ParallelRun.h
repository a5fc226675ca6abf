#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <exception>
#include <map>
#include <memory>

#include "VisitJournal.h"

class IStatusLine;
class QEventLoop;
class QThread;
class QWidget;
class TLogDatabase;
class TRunJournal;
class Tpbar;

// Up to Jobs readers visited side by side, each by the same pass as ever, in a thread of its
// own with its own reader link: a reader's waits never hold up another's commands. This object
// lives in the window thread, which hands the rows out in table order, writes the journal, and
// alone touches the windows.
class TParallelRun : public QObject {
 public:
  TParallelRun(TLogDatabase& Db, TRunJournal& Journal, IStatusLine& Status, QWidget& Owner, int Jobs);
  ~TParallelRun() override;

  // Returns when the last visit has ended. A row that cannot be read stops the handing out;
  // its error leaves Run once the visits in progress have ended.
  void Run();

 private:
  struct TOrder;
  bool HandOutNext();
  void HandOut();
  void Start(TOrder Order);
  void Visit(const TOrder& Order);
  void Ended(const QString& Key, qint64 JournalId, const TVisit& Visit, std::exception_ptr Error);
  void ShowState();
  void GrowProgress(int Maximum);
  void AddStep();
  void AdvanceProgress(int Steps);

  TLogDatabase& Db;
  TRunJournal& Journal;
  IStatusLine& Status;
  QWidget& Owner;
  int Jobs;
  int Total = 0;
  int Running = 0;
  int Done = 0;
  bool Stopped = false;
  std::exception_ptr Failure;
  std::map<QString, std::unique_ptr<QThread>> Workers;  // by address:port: a reader takes one connection
  QEventLoop* Loop = nullptr;
  std::unique_ptr<Tpbar> Progress;
  std::atomic<int> StepsPending{0};
  // Every visit stores through this one connection, a page at a time: no visit waits on
  // another's lock or re-reads pages another connection changed.
  std::unique_ptr<TLogDatabase> Store;
};
