#include <QApplication>
#include <QDir>

#include "Sockets.h"
#include "WindowPlacement.h"
#include "grmain.h"

int main(int argc, char* argv[]) {
  SocketsStartup();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmere"));
  QApplication::setWindowIcon(ProgramIcon());
  TSetAcc window(QCoreApplication::applicationDirPath() + QDir::separator());
  window.show();
  const int code = QApplication::exec();
  SocketsCleanup();
  return code;
}
