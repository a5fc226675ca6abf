#include "MessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>

#include <utility>

#include "Journal.h"

namespace {

class TQtMessageBox final : public IMessageBox {
 public:
  void ShowError(const QString& Text) override {
    if (!MessagesAreInteractive()) {
      JournalLine(TPriority::Error, Text);
      return;
    }
    // Not modal: no run waits on a person. The program ends once the last box is closed.
    auto* box = new QMessageBox(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), Text, QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);  // the text may quote a readers row
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
  }
  void ShowForDesktop(const QString& Text) override {
    if (MessagesAreInteractive()) ShowError(Text);
  }
};

IMessageBox*& CurrentSink() {
  static TQtMessageBox QtBox;
  static IMessageBox* Sink = &QtBox;
  return Sink;
}

}  // namespace

bool MessagesAreInteractive() {
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

namespace {

// A visit in a thread of its own hands its message to the window thread and goes on at once:
// boxes come one at a time there, and never hold up another reader's traffic.
void Deliver(void (IMessageBox::*Show)(const QString&), const QString& Text) {
  QCoreApplication* application = QCoreApplication::instance();
  if (application != nullptr && QThread::currentThread() != application->thread()) {
    QMetaObject::invokeMethod(application, [Show, Text] { (CurrentSink()->*Show)(Text); }, Qt::QueuedConnection);
    return;
  }
  (CurrentSink()->*Show)(Text);
}

}  // namespace

void ShowErrorMessage(const QString& Text) {
  Deliver(&IMessageBox::ShowError, Text);
}

void ShowDesktopMessage(const QString& Text) {
  Deliver(&IMessageBox::ShowForDesktop, Text);
}

TScopedMessageBox::TScopedMessageBox(IMessageBox& Sink) : Previous(std::exchange(CurrentSink(), &Sink)) {}

TScopedMessageBox::~TScopedMessageBox() {
  CurrentSink() = Previous;
}
