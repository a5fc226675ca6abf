#include <QApplication>
#include <QDir>
#include <QSysInfo>

#include <cstdio>

#include "CommandLine.h"
#include "HealthReport.h"
#include "Sockets.h"
#include "WindowPlacement.h"
#include "grmain.h"

namespace {

// Started by a timer or from cron there is no display, and a DISPLAY copied from a desktop
// may name a server that is gone: Qt tries the platforms in turn, so a display that cannot be
// reached means running without windows rather than an abort.
void RunWithoutWindowsWhenThereIsNoDisplay() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  QByteArray platforms;
  if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) platforms += "wayland;";
  if (!qEnvironmentVariableIsEmpty("DISPLAY")) platforms += "xcb;";
  qputenv("QT_QPA_PLATFORM", platforms + "offscreen");
}

QStringList Arguments(int argc, char* argv[]) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  return arguments;
}

int RunOnce(int argc, char* argv[], const TRunOptions& Options) {
  SocketsStartup();
  RunWithoutWindowsWhenThereIsNoDisplay();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmere"));
  QApplication::setWindowIcon(ProgramIcon());
  TSetAcc window(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("logs.mdb")), Options);
  window.show();
  const int code = QApplication::exec();
  SocketsCleanup();
  return code;
}

}  // namespace

int main(int argc, char* argv[]) {
  const TCommandLine command =
      ParseCommandLine(Arguments(argc, argv), {qEnvironmentVariable("QUILLMERE_JOBS"), qEnvironmentVariable("QUILLMERE_FORWARD"),
                                               QSysInfo::machineHostName()});
  switch (command.Action) {
    case TCommandLine::TAction::Exit:
      std::fprintf(command.OutputIsError ? stderr : stdout, "%s", qPrintable(command.Output));
      if (command.OutputIsError) std::fputc('\n', stderr);
      return command.ExitCode;
    case TCommandLine::TAction::Check: {
      const QCoreApplication application(argc, argv);
      return ReportHealth(QCoreApplication::applicationDirPath(), command.CheckHours);
    }
    case TCommandLine::TAction::Run:
      break;
  }
  return RunOnce(argc, argv, command.Run);
}
