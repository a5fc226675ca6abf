#include <gtest/gtest.h>

#include <QDir>

#include <functional>

#include "CommandLine.h"

namespace {

using TAction = TCommandLine::TAction;

const TEnvironmentDefaults Portable{{}, {}, {}, "collector", {}, "/opt/app"};

TEnvironmentDefaults With(const std::function<void(TEnvironmentDefaults&)>& Change) {
  TEnvironmentDefaults environment = Portable;
  Change(environment);
  return environment;
}

// Where logs.mdb is: the option, else QUILLMERE_DATABASE, else the package's data folder, else
// beside the program.
TEST(CommandLine, FindsTheDatabaseWhereTheOptionTheEnvironmentOrTheBuildSays) {
  const auto packaged = With([](TEnvironmentDefaults& e) { e.DataFolder = "/var/lib/quillmere"; });
  const auto named = With([](TEnvironmentDefaults& e) {
    e.DataFolder = "/var/lib/quillmere";
    e.Database = "/srv/from-environment.mdb";
  });
  const struct {
    QStringList Arguments;
    TEnvironmentDefaults Environment;
    QString Expected;
  } cases[] = {
      {{}, Portable, "/opt/app/logs.mdb"},
      {{"--check"}, packaged, "/var/lib/quillmere/logs.mdb"},
      {{"--init"}, named, "/srv/from-environment.mdb"},
      {{"--database", "/srv/option.mdb"}, named, "/srv/option.mdb"},
      {{"--database=site.mdb"}, Portable, QDir::current().absoluteFilePath("site.mdb")},
  };
  for (const auto& c : cases) {
    const TCommandLine line = ParseCommandLine(QStringList{"quillmere"} + c.Arguments, c.Environment);
    EXPECT_NE(line.Action, TAction::Exit) << c.Arguments.join(' ').toStdString() << ": " << line.Output.toStdString();
    EXPECT_EQ(line.DatabasePath, c.Expected) << c.Arguments.join(' ').toStdString();
  }
}

// A bad option contacts nothing and says what was wrong in one line that points to --help; with
// --check the code is a monitor's UNKNOWN (3), otherwise 2.
TEST(CommandLine, ABadOptionIsRefusedInOneLinePointingToHelp) {
  const auto nameless = With([](TEnvironmentDefaults& e) { e.HostName = " "; });
  const struct {
    QStringList Arguments;
    int ExitCode;
    const char* Says;
  } cases[] = {
      {{"--nonsense"}, 2, "Unknown option 'nonsense'"},
      {{"--jobs", "0"}, 2, "N of --jobs"},
      {{"--jobs", "99999999999"}, 2, "N of --jobs"},
      {{"--jobs", "x"}, 2, "N of --jobs"},
      {{"--database="}, 2, "--database needs a file"},
      {{"stray"}, 2, "unexpected argument 'stray'"},
      {{"--check", "0"}, 3, "HOURS must be a whole number from 1 to 8784, not '0'"},
      {{"--check", "x"}, 3, "not 'x'"},
      {{"--check", "1", "2"}, 3, "--check takes one HOURS"},
      {{"--check", "--nonsense"}, 3, "Unknown option 'nonsense'"},
      {{"--check", "--jobs", "x"}, 3, "N of --jobs"},
      {{"--check", "--init"}, 3, "--init and --check exclude each other"},
      {{"--check=6"}, 3, "Unexpected value after '--check'"},
      {{"--check", "-w", "0"}, 3, "HOURS of --warning must be a whole number from 1 to 8784, not '0'"},
      {{"--check", "--critical", "2d"}, 3, "HOURS of --critical must be a whole number from 1 to 8784, not '2d'"},
      {{"--check", "-w", "48", "-c", "24"}, 3, "--warning 48 is later than --critical 24"},
      {{"--check", "-c", "24", "-c", "48"}, 3, "--critical is given more than once"},
      {{"-w", "24"}, 2, "--warning needs --check"},
      {{"--watch-collect", "5"}, 2, "--watch-collect needs --watch"},
      {{"--watch", "--watch-collect", "0"}, 2, "MINUTES of --watch-collect must be a whole number from 1 to 1440, not '0'"},
      {{"--watch-jobs", "4"}, 2, "--watch-jobs needs --watch"},
      {{"--watch", "--watch-jobs", "257"}, 2, "N of --watch-jobs must be a whole number from 1 to 256, not '257'"},
      {{"--watch", "--init"}, 2, "--watch excludes --init and --check"},
      {{"--watch", "--forward", "postgresql://hq/x", "--site="}, 2, "--site needs a name"},
      {{"--set-clock"}, 2, "--set-clock needs --add-reader"},
      {{"--force", "--export"}, 2, "--force needs --backup"},
      {{"--readers", "--export"}, 2, "--readers and --export exclude each other"},
      {{"--readers", "--watch"}, 2, "the site tools exclude --watch"},
      {{"--check", "--backup", "copy.mdb"}, 3, "the site tools exclude --check"},
      {{"--add-reader", "gate-north"}, 2, "'gate-north' is not ADDRESS:PORT"},
      {{"--add-reader", ":4001"}, 2, "'' is no IPv4 address"},
      {{"--add-reader", "10.1:4001"}, 2, "'10.1' is no IPv4 address"},
      {{"--add-reader", "010.0.0.1:4001"}, 2, "'010.0.0.1': leading zeros are refused, as a connect would read such a part as octal (010 as 8)"},
      {{"--add-reader", "10.0.0.01:4001"}, 2, "'10.0.0.01': leading zeros are refused"},
      {{"--add-reader", "256.0.0.1:4001"}, 2, "'256.0.0.1' is no IPv4 address"},
      {{"--add-reader", "gate north:4001"}, 2, "'gate north' is no IPv4 address"},
      {{"--add-reader", "[::1]:4001"}, 2, "'[::1]' is no IPv4 address"},
      {{"--remove-reader", "gate:0"}, 2, "port '0' is no number from 1 to 65535"},
      {{"--test-reader", "gate:65536"}, 2, "port '65536' is no number"},
      {{"--test-reader", "gate:no-such-service"}, 2, "port 'no-such-service' is no number"},
      {{"--test-reader", "gate:-1"}, 2, "port '-1' is no number"},
      {{"--export", "--from", "2026-02-29"}, 2, "--from must be a local date"},
      {{"--export", "--to", "2026-01-01 24:00"}, 2, "--to must be"},
      {{"--export", "--to", "2026-1-1"}, 2, "--to must be"},
      {{"--export", "--from", "2026-01-01T10:00"}, 2, "--from must be"},
      {{"--export", "--from", "2026-01-02", "--to", "2026-01-01"}, 2, "--from 2026-01-02 00:00:00 is after --to 2026-01-01 23:59:59"},
      {{"--export", "--format", "xml"}, 2, "--format is csv or json, not 'xml'"},
      {{"--export", "--from", "-7x"}, 2, "--from must be a local date YYYY-MM-DD, today, yesterday or -Nd"},
      {{"--export", "--card", "16777216"}, 2, "--card must be a card number from 0 to 16777215, not '16777216'"},
      {{"--export", "--reader", "010.0.0.1"}, 2, "--reader: '010.0.0.1': leading zeros are refused"},
      {{"--export", "--reader", "a:1", "--reader", "b:1"}, 2, "--reader is given more than once"},
      {{"--card", "5"}, 2, "--card needs --export"},
      {{"--backup="}, 2, "--backup needs a file"},
      {{"--restore="}, 2, "--restore needs a file"},
      {{"--set-reader", "10.0.0.1:4001"}, 2, "--set-reader needs --set-clock, --download or --clear-after, each on or off"},
      {{"--set-reader", "10.0.0.1:4001", "--set-clock", "yes"}, 2, "--set-clock takes on or off, not 'yes'"},
      {{"--set-reader", "10.0.0.1:4001", "--download", "on", "--download", "off"}, 2, "--download is given more than once"},
      {{"--add-reader", "10.0.0.1:4001", "--download", "on"}, 2, "--download needs --set-reader"},
      {{"--add-reader", "10.0.0.1:4001", "--add-reader", "10.0.0.2:4001"}, 2, "--add-reader is given more than once"},
      {{"--collect-now", "10.0.0.1:4001", "10.0.0.2:4001"}, 2, "--collect-now takes one ADDRESS:PORT"},
      {{"--collect-now", "10.0.0.1"}, 2, "--collect-now: '10.0.0.1' is not ADDRESS:PORT"},
      {{"--collect-now", "--watch"}, 2, "the site tools exclude --watch"},
  };
  for (const auto& c : cases) {
    const TCommandLine line = ParseCommandLine(QStringList{"quillmere"} + c.Arguments, Portable);
    const std::string arguments = c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.Action, TAction::Exit) << arguments;
    EXPECT_EQ(line.ExitCode, c.ExitCode) << arguments;
    EXPECT_TRUE(line.OutputIsError) << arguments;
    EXPECT_TRUE(line.Output.contains(c.Says)) << arguments << ": " << line.Output.toStdString();
    EXPECT_TRUE(line.Output.startsWith("quillmere: ")) << arguments;
    EXPECT_TRUE(line.Output.endsWith("; see quillmere --help")) << arguments << ": " << line.Output.toStdString();
    EXPECT_FALSE(line.Output.contains('\n')) << arguments;
    EXPECT_FALSE(line.Output.contains(".;")) << arguments;
    const QString error = line.Output.mid(11).chopped(22);
    EXPECT_EQ(line.MonitorLine, c.ExitCode == 3 ? "QUILLMERE UNKNOWN - " + error : QString()) << arguments;
  }
  // --set-reader's flags take on or off; --add-reader's stand alone.
  const TCommandLine set = ParseCommandLine({"quillmere", "--set-reader", "10.0.0.1:4001", "--clear-after", "off", "--download", "on"}, Portable);
  ASSERT_EQ(set.Site.Tool, TSiteCommand::TTool::SetReader) << set.Output.toStdString();
  EXPECT_EQ(set.Site.Changes.ClearAfter, std::optional<bool>(false));
  EXPECT_EQ(set.Site.Changes.Download, std::optional<bool>(true));
  EXPECT_FALSE(set.Site.Changes.SetClock.has_value());
  const TCommandLine add = ParseCommandLine({"quillmere", "--add-reader", "10.0.0.1:4001", "--set-clock"}, Portable);
  ASSERT_EQ(add.Site.Tool, TSiteCommand::TTool::AddReader) << add.Output.toStdString();
  EXPECT_TRUE(add.Site.Flags.SetClock);
  // --collect-now's one reader is optional: none asks for every reader.
  const TCommandLine one = ParseCommandLine({"quillmere", "--collect-now", "10.0.0.1:4001"}, Portable);
  ASSERT_EQ(one.Site.Tool, TSiteCommand::TTool::CollectNow) << one.Output.toStdString();
  EXPECT_EQ(one.Site.Reader.Text(), "10.0.0.1:4001");
  EXPECT_TRUE(ParseCommandLine({"quillmere", "--collect-now"}, Portable).Site.Reader.Address.isEmpty());
  // The site matters only to the server: without forwarding, a machine with no host name runs.
  EXPECT_EQ(ParseCommandLine({"quillmere"}, nameless).Action, TAction::Run);
  EXPECT_EQ(ParseCommandLine({"quillmere", "--check"}, nameless).Action, TAction::Check);
  const TCommandLine watch = ParseCommandLine({"quillmere", "--watch", "--watch-collect", "15", "--watch-jobs", "3"}, nameless);
  EXPECT_EQ(watch.Action, TAction::Watch);
  EXPECT_EQ(watch.Run.WatchCollectMinutes, 15);
  EXPECT_EQ(watch.Run.WatchJobs, 3);
  EXPECT_EQ(ParseCommandLine({"quillmere", "--watch"}, nameless).Run.WatchCollectMinutes, 60);
  EXPECT_EQ(ParseCommandLine({"quillmere", "--jobs", "1000"}, nameless).Run.Jobs, 1000);
  const TCommandLine watchForwarding = ParseCommandLine({"quillmere", "--watch", "--forward", "postgresql://hq/x"}, Portable);
  EXPECT_EQ(watchForwarding.Action, TAction::Watch);
  EXPECT_EQ(watchForwarding.Run.ForwardUrl, "postgresql://hq/x");
  // A URL of another scheme is forwarding's failure, after the readers are collected.
  const TCommandLine otherScheme = ParseCommandLine({"quillmere", "--forward", "http://hq/x"}, Portable);
  EXPECT_EQ(otherScheme.Action, TAction::Run);
  EXPECT_EQ(otherScheme.Run.ForwardUrl, "http://hq/x");
  const TCommandLine forwarding = ParseCommandLine({"quillmere", "--forward", "postgresql://hq/x"}, nameless);
  EXPECT_EQ(forwarding.ExitCode, 2);
  EXPECT_TRUE(forwarding.Output.contains("--site needs a name")) << forwarding.Output.toStdString();
}

TEST(CommandLine, OptionsWinOverTheEnvironment) {
  const auto environment = With([](TEnvironmentDefaults& e) {
    e.Jobs = "4";
    e.Forward = "postgresql://env/x";
  });
  const TCommandLine fromEnvironment = ParseCommandLine({"quillmere", "--check", "6", "-w", "26", "--critical=50"}, environment);
  EXPECT_EQ(fromEnvironment.Action, TAction::Check);
  EXPECT_EQ(fromEnvironment.CheckHours, 6);
  EXPECT_EQ(fromEnvironment.CheckThresholds.WarningHours, 26);
  EXPECT_EQ(fromEnvironment.CheckThresholds.CriticalHours, 50);
  EXPECT_EQ(fromEnvironment.Run.Jobs, 4);
  EXPECT_EQ(fromEnvironment.Run.ForwardUrl, "postgresql://env/x");
  EXPECT_EQ(fromEnvironment.Run.Site, "collector");
  const TCommandLine fromOptions =
      ParseCommandLine({"quillmere", "--jobs", "2", "--forward", "postgres://opt/y", "--site", "north"}, environment);
  EXPECT_EQ(fromOptions.Action, TAction::Run);
  EXPECT_EQ(fromOptions.Run.Jobs, 2);
  EXPECT_EQ(fromOptions.Run.ForwardUrl, "postgres://opt/y");
  EXPECT_EQ(fromOptions.Run.Site, "north");
}

}  // namespace
