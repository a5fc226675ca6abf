#include "MessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <utility>

#include "Journal.h"

namespace {

class TQtMessageBox final : public IMessageBox {
 public:
  void ShowError(const QString& Text) override {
    if (MessagesAreInteractive()) {
      QMessageBox::critical(nullptr, QGuiApplication::applicationDisplayName(), Text);
    } else {
      JournalLine(TPriority::Error, Text);
    }
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

void ShowErrorMessage(const QString& Text) {
  CurrentSink()->ShowError(Text);
}

TScopedMessageBox::TScopedMessageBox(IMessageBox& Sink) : Previous(std::exchange(CurrentSink(), &Sink)) {}

TScopedMessageBox::~TScopedMessageBox() {
  CurrentSink() = Previous;
}
