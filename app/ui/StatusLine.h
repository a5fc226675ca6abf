#pragma once

#include <QString>

// The status window's one line of text, which a pass shown there writes to.
class IStatusLine {
 public:
  virtual ~IStatusLine() = default;
  virtual void SetStatusText(const QString& Text) = 0;
  virtual void SetStatusVisible(bool Visible) = 0;
};
