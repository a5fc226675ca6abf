#include <QApplication>
#include <QGuiApplication>
#include <QSysInfo>

#include <cstdio>

#include "CommandLine.h"
#include "HealthReport.h"
#include "HolderView.h"
#include "InitCommand.h"
#include "Journal.h"
#include "MessageBox.h"
#include "RunLock.h"
#include "Sockets.h"
#include "WatchRun.h"
#include "WindowPlacement.h"
#include "grmain.h"

namespace {

// The package's build names the folder where Debian keeps such data; the portable build keeps
// logs.mdb beside the program.
#ifdef QUILLMERE_DATA_DIR
const QString DataFolder = QStringLiteral(QUILLMERE_DATA_DIR);
#else
const QString DataFolder;
#endif

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

// The folder whose group a logs.mdb made elsewhere takes: the data folder, or the program's.
QString SharedFolder() {
  return DataFolder.isEmpty() ? QCoreApplication::applicationDirPath() : DataFolder;
}

TEnvironmentDefaults Environment() {
  return {qEnvironmentVariable("QUILLMERE_JOBS"), qEnvironmentVariable("QUILLMERE_FORWARD"),
          qEnvironmentVariable("QUILLMERE_DATABASE"), QSysInfo::machineHostName(), DataFolder,
          QCoreApplication::applicationDirPath()};
}

int RunOnce(int argc, char* argv[], const QString& DatabasePath, const TRunOptions& Options) {
  SocketsStartup();
  RunWithoutWindowsWhenThereIsNoDisplay();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmere"));
  QApplication::setWindowIcon(ProgramIcon());
  // A person who starts Quillmere while a watch or a run works sees that work; nothing is collected.
  if (MessagesAreInteractive() && RunLockHeld(DatabasePath)) {
    THolderView view(DatabasePath);
    view.ShowCentred();
    const int code = QApplication::exec();
    SocketsCleanup();
    return code;
  }
  TSetAcc window(DatabasePath, Options);
  window.show();
  // The last window to close may be a message box the run left open, after the run ended.
  const int code = QApplication::exec();
  SocketsCleanup();
  return code != 0 ? code : ExitCode(window.RunStatus());
}

// No windows, whatever the display: failures a run would show in a box go to the journal.
int Watch(int argc, char* argv[], const QString& DatabasePath, const TRunOptions& Options) {
  SocketsStartup();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const QGuiApplication application(argc, argv);
  const int code = ExitCode(TWatchRun(DatabasePath, Options).Run());
  SocketsCleanup();
  return code;
}

}  // namespace

int main(int argc, char* argv[]) {
  SendQtMessagesToJournal();
  TCommandLine command;
  {
    // The parser names the program in its help, and only an application object knows it; the
    // run needs one with windows, which it makes itself.
    const QCoreApplication application(argc, argv);
    command = ParseCommandLine(QCoreApplication::arguments(), Environment());
    switch (command.Action) {
      case TCommandLine::TAction::Exit:
        if (!command.MonitorLine.isEmpty()) std::printf("%s\n", qPrintable(command.MonitorLine));
        std::fprintf(command.OutputIsError ? stderr : stdout, "%s", qPrintable(command.Output));
        if (command.OutputIsError) std::fputc('\n', stderr);
        return command.ExitCode;
      case TCommandLine::TAction::Check:
        return ReportHealth(command.DatabasePath, command.CheckHours, !command.Run.ForwardUrl.isEmpty(), command.CheckThresholds);
      case TCommandLine::TAction::Init:
        return InitDatabase(command.DatabasePath, SharedFolder());
      case TCommandLine::TAction::Site:
        return RunSiteCommand(command.Site, command.DatabasePath, SharedFolder());
      case TCommandLine::TAction::Run:
      case TCommandLine::TAction::Watch:
        break;
    }
  }
  if (command.Action == TCommandLine::TAction::Watch) return Watch(argc, argv, command.DatabasePath, command.Run);
  return RunOnce(argc, argv, command.DatabasePath, command.Run);
}
