#pragma once

#include <QString>

// Every modal message of the program goes through here, so tests and unattended runs never
// block on a box that nobody can answer.
class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  virtual void ShowError(const QString& Text) = 0;
};

void ShowErrorMessage(const QString& Text);

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
