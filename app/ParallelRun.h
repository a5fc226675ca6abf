#pragma once

#include <QObject>
#include <QString>

#include <exception>
#include <map>
#include <memory>

#include "VisitJournal.h"

class QEventLoop;
class QThread;
class QWidget;
class TLogDatabase;
class TRunJournal;
class TReaderBoard;

// Up to Jobs readers visited side by side, each by the same pass as ever, in a thread of its
// own with its own reader link: a reader's waits never hold up another's commands. This object
// lives in the window thread, which hands the rows out in table order, writes the journal, and
// alone touches the windows.
class TParallelRun : public QObject {
 public:
  // Owner is the status window: the readers window stands in its place while the run goes on.
  TParallelRun(TLogDatabase& Db, TRunJournal& Journal, QWidget& Owner, int Jobs);
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
  void Ended(const QString& Key, qint64 JournalId, int BoardRow, const TVisit& Visit, std::exception_ptr Error);

  TLogDatabase& Db;
  TRunJournal& Journal;
  QWidget& Owner;
  int Jobs;
  int Running = 0;
  bool Stopped = false;
  std::exception_ptr Failure;
  std::map<QString, std::unique_ptr<QThread>> Workers;  // by address:port: a reader takes one connection
  QEventLoop* Loop = nullptr;
  std::unique_ptr<TReaderBoard> Board;
  // Every visit stores through this one connection, a page at a time: no visit waits on
  // another's lock or re-reads pages another connection changed.
  std::unique_ptr<TLogDatabase> Store;
};
