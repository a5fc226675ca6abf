#pragma once

#include <QObject>

#include <atomic>
#include <deque>
#include <memory>

#include "RunDisplay.h"
#include "VisitJournal.h"

class QWidget;
struct TReaderEntry;
class TReaderTableWindow;

// What a run that visits readers side by side shows, and the one way its visits reach it: the
// readers table window, shown in place of the status window. Lives in the window thread. A
// visit's own thread only posts, through its row's observer; the window thread takes what was
// posted at most every ProgressEveryMs, however many visits post and however often.
class TReaderBoard : public QObject, public IReaderBoard {
 public:
  // Every readers row of Db, in table order, waiting its turn.
  TReaderBoard(const std::vector<TReaderEntry>& Readers, QWidget& StatusWindow);
  // Shows the status window again, then ends the readers window as EndShowing does, with a
  // person to read it when message boxes have one.
  ~TReaderBoard() override;
  TReaderBoard(const TReaderBoard&) = delete;
  TReaderBoard& operator=(const TReaderBoard&) = delete;

  int StartNext() override;
  void Ended(int Row, const TVisit& Visit) override;
  // The pass's steps and its download's progress.
  TPassObserver& ObserverOf(int Row) override;

  const TReaderTableWindow& Window() const { return *Shown; }

 private:
  struct TNews;
  class TNewsProgress;
  void Post();
  void TakeNews();
  void TakeNews(int Row);

  QWidget& StatusWindow;
  bool StatusWindowWasVisible;
  std::unique_ptr<TReaderTableWindow> Shown;
  std::deque<TNews> News;  // by row; never moves, as visits hold on to their own
  int NextRow = 0;
  std::atomic<bool> TakingScheduled{false};
};
