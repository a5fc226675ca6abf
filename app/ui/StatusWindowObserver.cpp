#include "StatusWindowObserver.h"

#include "MessageBox.h"
#include "StatusLine.h"
#include "pgbar.h"

namespace {

class TProgressWindow final : public IDownloadProgress {
 public:
  TProgressWindow(QWidget& Owner, const QString& Caption, int Maximum) : Window(&Owner, Caption, Maximum) {}
  void Step() override { Window.Step(); }
  void Hide() override { Window.hide(); }

 private:
  Tpbar Window;
};

}  // namespace

QString StatusText(TPassStep Step) {
  switch (Step) {
    case TPassStep::Locking: return QStringLiteral("Locking");
    case TPassStep::SettingOptions: return QStringLiteral("Set Options");
    case TPassStep::ReadingCapacity: return QStringLiteral("Get Capacity");
    case TPassStep::Downloading: return QStringLiteral("Downloading");
    case TPassStep::Clearing: return QStringLiteral("Clearing");
    case TPassStep::Unlocking: return QStringLiteral("UnLocking");
    case TPassStep::NoResponse: return QStringLiteral("No response");
  }
  return {};
}

void TStatusWindowObserver::Reaching(const QString& Address) {
  Status.SetStatusText(Address);
}

void TStatusWindowObserver::Stepped(TPassStep Step) {
  Status.SetStatusText(StatusText(Step));
}

void TStatusWindowObserver::ShowStatus(bool Visible) {
  Status.SetStatusVisible(Visible);
}

void TStatusWindowObserver::Busy(bool Working) {
  if (Working) {
    Cursor.emplace();
  } else {
    Cursor.reset();
  }
}

std::unique_ptr<IDownloadProgress> TStatusWindowObserver::OpenProgress(int Records) {
  // Nobody would see it, and a platform without windows cannot raise one (and says so).
  if (!MessagesAreInteractive()) return TPassObserver::OpenProgress(Records);
  return std::make_unique<TProgressWindow>(Owner, QStringLiteral("Downloading Logs (%1 records)").arg(Records), Records);
}
