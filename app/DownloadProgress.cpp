#include "DownloadProgress.h"

#include "pgbar.h"

namespace {

class TProgressWindow final : public IDownloadProgress {
 public:
  TProgressWindow(QWidget* Owner, const QString& Caption, int Maximum) : Window(Owner, Caption, Maximum) {}
  void Step() override { Window.Step(); }
  void Hide() override { Window.hide(); }

 private:
  Tpbar Window;
};

}  // namespace

TProgressOpener ProgressWindows(QWidget* Owner) {
  return [Owner](const QString& Caption, int Maximum) -> std::unique_ptr<IDownloadProgress> {
    return std::make_unique<TProgressWindow>(Owner, Caption, Maximum);
  };
}
