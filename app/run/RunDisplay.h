#pragma once

#include <memory>
#include <vector>

#include "PassObserver.h"
#include "VisitJournal.h"

struct TReaderEntry;

// The readers window of a run that visits readers side by side, as the run sees it. Lives in
// the window thread; only the observers ObserverOf hands out are told in visits' own threads,
// and they must only post.
class IReaderBoard {
 public:
  virtual ~IReaderBoard() = default;
  // The next row in table order goes to work; returns it.
  virtual int StartNext() = 0;
  virtual void Ended(int Row, const TVisit& Visit) = 0;
  // For the visit of Row, in its own thread, while the board lives.
  virtual TPassObserver& ObserverOf(int Row) = 0;
};

// How a run is shown, wired in by whoever starts it: the run itself knows no window.
class IRunDisplay {
 public:
  virtual ~IRunDisplay() = default;
  // The observer of the visits made one at a time, in the window thread.
  virtual TPassObserver& SerialPass() = 0;
  // The board of a side-by-side run over those readers rows, shown while it lives.
  virtual std::unique_ptr<IReaderBoard> OpenBoard(const std::vector<TReaderEntry>& Readers) = 0;
};
