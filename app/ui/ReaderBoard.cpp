#include "ReaderBoard.h"

#include <QTimer>

#include "MessageBox.h"
#include "ReadersTable.h"
#include "ReaderTableModel.h"
#include "ReaderTableWindow.h"
#include "RunJournal.h"

namespace {

// With twenty readers, a wake-up per record or per page would cost more than the window tells.
constexpr int ProgressEveryMs = 100;
constexpr int NoNews = -1;

}  // namespace

// What one visit posted since the window thread last looked. Atomics in sequential order: a
// step posted while a taking is under way is either seen by it or schedules the next.
struct TReaderBoard::TNews final : TPassObserver {
  explicit TNews(TReaderBoard& ABoard) : Board(ABoard) {}
  void Stepped(TPassStep Step) override {
    Activity = static_cast<int>(ActivityOf(Step));
    Board.Post();
  }
  std::unique_ptr<IDownloadProgress> OpenProgress(int Records) override;

  TReaderBoard& Board;
  std::atomic<int> Activity{NoNews};
  std::atomic<int> Steps{0};
  std::atomic<int> Maximum{0};
};

class TReaderBoard::TNewsProgress final : public IDownloadProgress {
 public:
  explicit TNewsProgress(TNews& ANews) : News(ANews) {}
  void Step() override {
    ++News.Steps;
    News.Board.Post();
  }
  void Hide() override {}

 private:
  TNews& News;
};

std::unique_ptr<IDownloadProgress> TReaderBoard::TNews::OpenProgress(int Records) {
  Steps = 0;
  Maximum = Records;
  Board.Post();
  return std::make_unique<TNewsProgress>(*this);
}

TReaderBoard::TReaderBoard(const std::vector<TReaderEntry>& Readers, QWidget& AStatusWindow)
    : StatusWindow(AStatusWindow), StatusWindowWasVisible(StatusWindow.isVisible()), Shown(std::make_unique<TReaderTableWindow>()) {
  for (const TReaderEntry& entry : Readers) {
    Shown->Model().AddReader(entry.Address, entry.Port);
    News.emplace_back(*this);
  }
  Shown->Refresh();
  Shown->ShowCentred();
  StatusWindow.hide();
}

TReaderBoard::~TReaderBoard() {
  // First: a window that closes while no other is shown would end the program.
  if (StatusWindowWasVisible) StatusWindow.show();
  TakeNews();
  EndShowing(std::move(Shown), MessagesAreInteractive());
}

int TReaderBoard::StartNext() {
  const int row = NextRow++;
  Shown->Model().SetActivity(row, TReaderActivity::Connecting);
  Shown->Refresh();
  return row;
}

void TReaderBoard::Ended(int Row, const TVisit& Visit) {
  TakeNews(Row);
  Shown->Model().SetOutcome(Row, Visit);
  Shown->Refresh();
}

TPassObserver& TReaderBoard::ObserverOf(int Row) {
  return News.at(Row);
}

// In a visit's thread: the first post after a taking schedules the next; the rest only add up.
void TReaderBoard::Post() {
  if (TakingScheduled.load() || TakingScheduled.exchange(true)) return;
  QMetaObject::invokeMethod(
      this, [this] { QTimer::singleShot(ProgressEveryMs, this, [this] { TakeNews(); }); }, Qt::QueuedConnection);
}

void TReaderBoard::TakeNews() {
  TakingScheduled = false;
  for (int row = 0; row < NextRow; ++row) TakeNews(row);
  Shown->Refresh();
}

void TReaderBoard::TakeNews(int Row) {
  TReaderTableModel& model = Shown->Model();
  if (model.Ended(Row)) return;
  const TNews& news = News[Row];
  const int activity = news.Activity;
  if (activity != NoNews) model.SetActivity(Row, static_cast<TReaderActivity>(activity));
  model.SetProgress(Row, news.Steps, news.Maximum);
}
