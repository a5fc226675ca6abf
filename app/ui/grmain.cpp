#include "grmain.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QLineEdit>
#include <QTimer>

#include <exception>
#include <utility>

#include "DownloadRun.h"
#include "MessageBox.h"
#include "ReaderBoard.h"
#include "RunDisplay.h"
#include "StatusWindowObserver.h"
#include "WindowPlacement.h"

namespace {

constexpr QSize ClientSize(257, 37);
constexpr QRect StatusGeometry(8, 8, 241, 21);
constexpr int StartDelayMs = 50;
constexpr int FontPixelHeight = 10;

// Readers visited one at a time show in the status window's line, side by side in the readers
// window, shown in its place.
class TRunWindows final : public IRunDisplay {
 public:
  explicit TRunWindows(TSetAcc& AWindow) : Window(AWindow), Serial(AWindow, AWindow) {}
  TPassObserver& SerialPass() override { return Serial; }
  std::unique_ptr<IReaderBoard> OpenBoard(const std::vector<TReaderEntry>& Readers) override {
    return std::make_unique<TReaderBoard>(Readers, Window);
  }

 private:
  TSetAcc& Window;
  TStatusWindowObserver Serial;
};

}  // namespace

TSetAcc::TSetAcc(QString ADatabaseFile, TRunOptions AOptions)
    : QWidget(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      TntPanel1(new QFrame(this)),
      eStatus(new QLineEdit(TntPanel1)),
      Timer1(new QTimer(this)),
      Windows(std::make_unique<TRunWindows>(*this)),
      Download(std::make_unique<TDownloadRun>(*Windows, std::move(ADatabaseFile), std::move(AOptions))) {
  setObjectName(QStringLiteral("SetAcc"));
  setWindowTitle(QStringLiteral("Quillmere"));
  setWindowIcon(ProgramIcon());
  setFixedSize(ClientSize);
  UseDefaultFont(*this, FontPixelHeight);
  TntPanel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  TntPanel1->setGeometry(rect());
  eStatus->setGeometry(StatusGeometry);
  eStatus->setReadOnly(true);
  eStatus->setEnabled(false);
  Timer1->setInterval(StartDelayMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  CentreOnScreen(*this);
  TntFormCreate();
}

TSetAcc::~TSetAcc() = default;

void TSetAcc::TntFormCreate() {
  Timer1->start();
}

void TSetAcc::Timer1Timer() {
  Timer1->stop();
  try {
    Run();
  } catch (const std::exception& Error) {
    // Qt lets no exception through its event loop: report it here and keep the window open.
    Status = TExitStatus::RunFailed;
    ShowErrorMessage(QString::fromLocal8Bit(Error.what()));
    // Unattended, nobody can close a window that shows an error.
    if (!MessagesAreInteractive()) QCoreApplication::exit(ExitCode(Status));
    return;
  }
  close();
}

void TSetAcc::Run() {
  Running = true;
  struct TRunning {
    bool& Flag;
    ~TRunning() { Flag = false; }
  } running{Running};
  // Let go as the run ends, however it ends: logs.mdb is not held behind a box left open.
  const std::unique_ptr<TDownloadRun> run = std::move(Download);
  Status = run->Run();
}

void TSetAcc::SetStatusText(const QString& Text) {
  eStatus->setText(Text);
}

void TSetAcc::SetStatusVisible(bool Visible) {
  eStatus->setVisible(Visible);
}

void TSetAcc::closeEvent(QCloseEvent* Event) {
  if (Running) {
    // A close during the run is only noted: the run finishes every reader, then the window closes.
    CloseWanted = true;
    Event->ignore();
    return;
  }
  Event->accept();
}
