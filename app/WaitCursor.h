#pragma once

#include <QCursor>
#include <QGuiApplication>

// Shows the wait cursor for its lifetime and restores the cursor before it on every path.
class TWaitCursor {
 public:
  TWaitCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
  ~TWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;
};
