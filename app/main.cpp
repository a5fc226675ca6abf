#include <QApplication>
#include <QDir>

#include "Sockets.h"
#include "WindowPlacement.h"
#include "grmain.h"

namespace {

// Started by a timer or from cron there is no display: run without windows rather than fail.
void RunWithoutWindowsWhenThereIsNoDisplay() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  SocketsStartup();
  RunWithoutWindowsWhenThereIsNoDisplay();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmere"));
  QApplication::setWindowIcon(ProgramIcon());
  TSetAcc window(QCoreApplication::applicationDirPath() + QDir::separator());
  window.show();
  const int code = QApplication::exec();
  SocketsCleanup();
  return code;
}
