#pragma once

#include <QString>

// The one line of status text that the run and the pass report through.
class IStatusLine {
 public:
  virtual ~IStatusLine() = default;
  virtual void SetStatusText(const QString& Text) = 0;
  virtual void SetStatusVisible(bool Visible) = 0;
};
