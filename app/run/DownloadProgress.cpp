#include "DownloadProgress.h"

#include "Journal.h"

namespace {

class TJournalledProgress final : public IDownloadProgress {
 public:
  TJournalledProgress(std::unique_ptr<IDownloadProgress> AShown, QString AReader, int AMaximum, int ARecordsPerPage,
                      std::chrono::milliseconds AEvery)
      : Shown(std::move(AShown)), Reader(std::move(AReader)), Maximum(AMaximum), RecordsPerPage(ARecordsPerPage), Every(AEvery) {}
  void Step() override {
    Shown->Step();
    ++Records;
    const auto now = Clock::now();
    if (now - LastLine < Every) return;
    LastLine = now;
    JournalLine(TPriority::Info, QStringLiteral("%1 downloading: %2 of %3 records read, page %4 of %5")
                                     .arg(Reader)
                                     .arg(Records)
                                     .arg(Maximum)
                                     .arg(Pages(Records))
                                     .arg(Pages(Maximum)));
  }
  void Hide() override { Shown->Hide(); }

 private:
  using Clock = std::chrono::steady_clock;
  int Pages(int Of) const { return (Of + RecordsPerPage - 1) / RecordsPerPage; }

  std::unique_ptr<IDownloadProgress> Shown;
  QString Reader;
  int Maximum;
  int RecordsPerPage;
  std::chrono::milliseconds Every;
  int Records = 0;
  Clock::time_point LastLine = Clock::now();
};

}  // namespace

std::unique_ptr<IDownloadProgress> JournalledProgress(std::unique_ptr<IDownloadProgress> Shown, QString Reader, int Maximum,
                                                      int RecordsPerPage, std::chrono::milliseconds Every) {
  return std::make_unique<TJournalledProgress>(std::move(Shown), std::move(Reader), Maximum, RecordsPerPage, Every);
}
