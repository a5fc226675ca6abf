#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <set>
#include <vector>

#include "WatchWorker.h"

class TRunJournal;

// The readers a watch keeps a worker for, in step with the table readers: a row added gets a
// worker, a row removed loses its own, a changed row gets a new one, each said in a line. A row
// that cannot be watched is refused with a visit row and a line of its own, once, and the
// others are watched all the same.
class TWatchedReaders {
 public:
  // Store, Live and Lines go to every worker (see TWatchWorker).
  TWatchedReaders(TLogDatabase& Db, TLogDatabase& Store, TLiveEventWriter& Live, TRunJournal& Journal, QObject& Receiver,
                  TWatchTimings Timings, TWatchLines* Lines = nullptr);
  ~TWatchedReaders();
  TWatchedReaders(const TWatchedReaders&) = delete;
  TWatchedReaders& operator=(const TWatchedReaders&) = delete;

  // Reads the table again; nothing changes while it cannot be read (another program's hold).
  void Update();
  std::size_t Count() const { return Watched.size(); }
  // Whether a worker watches the reader named "ADDRESS:PORT" as its row writes it.
  bool Watches(const QString& Reader) const;
  // Its worker passes it as soon as the line allows.
  void CollectNow(const QString& Reader);
  // Stops every worker, side by side; true when a live event could not be stored.
  bool StopAll();
  // How many live events the workers stored, once they have stopped.
  int LiveEventsStored() const { return RetiredLiveStored; }

 private:
  struct TWatched {
    TReaderRow Row;
    std::unique_ptr<TWatchWorker> Worker;
  };
  std::vector<TReaderRow> ReadTable();
  void Retire(TWatched& Gone, const QString& Why);
  void Start(const TReaderRow& Row);

  TLogDatabase& Db;
  TLogDatabase& Store;
  TLiveEventWriter& Live;
  TRunJournal& Journal;
  QObject& Receiver;
  TWatchTimings Timings;
  TWatchLines* Lines;
  QStringList LastTable;       // the rows as they read last, to skip look-ups when none changed
  std::set<QString> Refused;   // refusals said, by row and reason
  std::vector<TWatched> Watched;
  int RetiredLiveStored = 0;
  bool RetiredStoreFailed = false;
  bool Stopped = false;
};
