#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <set>
#include <vector>

#include "ReadersTable.h"
#include "WatchLoop.h"

class TRunJournal;

// The readers a watch keeps a line to, in step with the table readers: a row added gets a line,
// a row removed loses its own, a changed row gets a new one, each said in a line. A row that
// cannot be watched is refused with a visit row and a line of its own, once, and the others are
// watched all the same.
class TWatchedReaders {
 public:
  // Starts with Readers, the table as read at the start; Store, Live, PassThreads and Lines go to
  // the loop of every line (see TWatchLoop).
  TWatchedReaders(TLogDatabase& Db, const std::vector<QSqlRecord>& Readers, TLogDatabase& Store, TLiveEventWriter& Live, TRunJournal& Journal, QObject& Receiver,
                  TWatchTimings Timings, int PassThreads, TWatchLines* Lines = nullptr);
  ~TWatchedReaders();
  TWatchedReaders(const TWatchedReaders&) = delete;
  TWatchedReaders& operator=(const TWatchedReaders&) = delete;

  // Reads the table again; nothing changes while it cannot be read (another program's hold).
  void Update();
  std::size_t Count() const { return Watched.size(); }
  // Whether a line watches the reader named "ADDRESS:PORT" as its row writes it.
  bool Watches(const QString& Reader) const;
  // Its line passes it as soon as it allows.
  void CollectNow(const QString& Reader);
  // Stops every line, side by side; true when a live event could not be stored.
  bool StopAll();
  // How many live events the lines stored, once they have stopped.
  int LiveEventsStored() const { return RetiredLiveStored; }

 private:
  std::vector<TReaderRow> Judge(const std::vector<QSqlRecord>& Records);
  void Retire(TWatchLine& Gone, const QString& Why);
  void Start(const TReaderRow& Row);

  TLogDatabase& Db;
  TLogDatabase& Store;
  TRunJournal& Journal;
  QObject& Receiver;
  TWatchLines* Lines;
  QStringList LastTable;       // the rows as they read last, to skip look-ups when none changed
  std::set<QString> Refused;   // refusals said, by row and reason
  std::vector<TWatchLine*> Watched;
  TWatchLoop Loop;  // after what its lines report to, and stopped before it goes
  int RetiredLiveStored = 0;
  bool RetiredStoreFailed = false;
  bool Stopped = false;
};
