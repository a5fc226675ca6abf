#pragma once

#include <QString>

// Every box the program shows goes through here, so tests and unattended runs never meet a box
// that nobody can answer.
class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  virtual void ShowError(const QString& Text) = 0;
  // A box for a person at a desktop about something a journal line says too.
  virtual void ShowForDesktop(const QString& Text) { ShowError(Text); }
};

void ShowErrorMessage(const QString& Text);
// The same, where a visit's own journal line already tells the event: without a display it
// adds no line of its own, so that one event is one line.
void ShowDesktopMessage(const QString& Text);

// True when a person can answer a modal box (not the offscreen or minimal platform).
bool MessagesAreInteractive();

// Routes messages to Sink until the guard is destroyed.
class TScopedMessageBox {
 public:
  explicit TScopedMessageBox(IMessageBox& Sink);
  ~TScopedMessageBox();
  TScopedMessageBox(const TScopedMessageBox&) = delete;
  TScopedMessageBox& operator=(const TScopedMessageBox&) = delete;

 private:
  IMessageBox* Previous;
};
