#pragma once

#include <QCursor>
#include <QGuiApplication>
#include <QThread>

// Shows the wait cursor for its lifetime and restores the cursor before it on every path. The
// cursor belongs to the window thread: a visit in a thread of its own leaves it alone.
class TWaitCursor {
 public:
  TWaitCursor() : Shown(QThread::currentThread() == QCoreApplication::instance()->thread()) {
    if (Shown) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  }
  ~TWaitCursor() {
    if (Shown) QGuiApplication::restoreOverrideCursor();
  }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;

 private:
  bool Shown;
};
