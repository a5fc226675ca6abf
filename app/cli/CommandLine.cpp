#include "CommandLine.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>

#include "ExitStatus.h"
#include "HealthReport.h"

namespace {

constexpr int MaxCheckHours = 24 * 366;
constexpr int MaxWatchJobs = 256;
constexpr int MaxCollectMinutes = 24 * 60;
const QString DatabaseName = QStringLiteral("logs.mdb");

// The help lists every option; a usage line short enough to read would leave most out.
TCommandLine Refuse(QString Error, bool Checking) {
  if (Error.endsWith(QLatin1Char('.'))) Error.chop(1);  // the parser's own errors end as sentences
  TCommandLine line;
  line.Action = TCommandLine::TAction::Exit;
  line.ExitCode = Checking ? static_cast<int>(TCheckState::Unknown) : ExitCode(TExitStatus::Usage);
  line.Output = QStringLiteral("quillmere: %1; see quillmere --help").arg(Error);
  line.OutputIsError = true;
  if (Checking) line.MonitorLine = QStringLiteral("QUILLMERE UNKNOWN - ") + Error;
  return line;
}

TCommandLine Answer(const QString& Text) {
  TCommandLine line;
  line.Action = TCommandLine::TAction::Exit;
  line.Output = Text;
  return line;
}

bool ParseWhole(const QString& Text, int Low, int High, int& Value) {
  bool ok = false;
  Value = Text.toInt(&ok);
  return ok && Value >= Low && Value <= High;
}

// Whole hours, as a monitor's thresholds are given; a warning later than the critical would
// never be seen.
QString ReadThresholds(const QCommandLineParser& Parser, TCheckThresholds& Thresholds) {
  for (const auto& [name, hours] :
       {std::pair{QStringLiteral("warning"), &Thresholds.WarningHours}, std::pair{QStringLiteral("critical"), &Thresholds.CriticalHours}}) {
    if (!Parser.isSet(name)) continue;
    if (Parser.values(name).size() > 1) return QStringLiteral("--%1 is given more than once").arg(name);
    if (!ParseWhole(Parser.value(name), 1, MaxCheckHours, *hours)) {
      return QStringLiteral("HOURS of --%1 must be a whole number from 1 to %2, not '%3'").arg(name).arg(MaxCheckHours).arg(Parser.value(name));
    }
  }
  if (Thresholds.WarningHours > 0 && Thresholds.CriticalHours > 0 && Thresholds.WarningHours > Thresholds.CriticalHours) {
    return QStringLiteral("--warning %1 is later than --critical %2").arg(Thresholds.WarningHours).arg(Thresholds.CriticalHours);
  }
  return {};
}

// Whether an argument is the option Name (--name or --name=...), even when the parser stops
// before it knows the option was there.
bool Mentions(const QStringList& Arguments, QLatin1String Name) {
  return std::any_of(Arguments.begin(), Arguments.end(), [Name](const QString& Argument) {
    return Argument == Name || Argument.startsWith(Name + QLatin1Char('='));
  });
}

}  // namespace

QString DatabaseFile(const QString& Option, const TEnvironmentDefaults& Environment) {
  if (!Option.isEmpty()) return QFileInfo(Option).absoluteFilePath();
  if (!Environment.Database.isEmpty()) return QFileInfo(Environment.Database).absoluteFilePath();
  const QString folder = Environment.DataFolder.isEmpty() ? Environment.ProgramFolder : Environment.DataFolder;
  return QDir(folder).absoluteFilePath(DatabaseName);
}

TCommandLine ParseCommandLine(const QStringList& Arguments, const TEnvironmentDefaults& Environment) {
  // A monitor reads any exit above 2 as UNKNOWN, so --check reports its usage errors that way.
  const bool checking = Mentions(Arguments, QLatin1String("--check"));
  const auto refuse = [checking](const QString& Error) { return Refuse(Error, checking); };
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Collects the event logs of the card readers listed in the table readers of logs.mdb.\n"
                     "Without options: one run over every reader."));
  TEnvironmentDefaults built = Environment;
  built.Database.clear();
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
  const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
  const QCommandLineOption database(
      QStringLiteral("database"),
      QStringLiteral("The logs.mdb to work on (default: QUILLMERE_DATABASE, else %1).").arg(DatabaseFile({}, built)),
      QStringLiteral("FILE"));
  const QCommandLineOption init(QStringLiteral("init"),
                                QStringLiteral("Create an empty logs.mdb, readable and writable by its folder's group only, "
                                               "and exit; an existing file is left alone (exit 7)."));
  const QCommandLineOption check(
      QStringLiteral("check"),
      QStringLiteral("Report the readers' last visits as a monitoring plugin and exit: 0 OK when every reader had a done "
                     "visit within HOURS (default 24), 1 WARNING when some did not, 2 CRITICAL when none did, 3 UNKNOWN "
                     "when logs.mdb cannot be read. With --warning or --critical, the hours since each reader's last done "
                     "visit decide instead. Contacts no reader."));
  const QCommandLineOption warning(
      {QStringLiteral("w"), QStringLiteral("warning")},
      QStringLiteral("With --check: WARNING for a reader whose last done visit ended more than HOURS ago, or that never "
                     "had one, unless a visit to it is under way."),
      QStringLiteral("HOURS"));
  const QCommandLineOption critical({QStringLiteral("c"), QStringLiteral("critical")},
                                    QStringLiteral("With --check: CRITICAL for such a reader, after HOURS."),
                                    QStringLiteral("HOURS"));
  const QCommandLineOption jobs(
      QStringLiteral("jobs"),
      QStringLiteral("Visit up to N readers side by side, 1 or more (default 1, or QUILLMERE_JOBS); as many as the "
                     "process may open files for."),
      QStringLiteral("N"));
  const QCommandLineOption forward(
      QStringLiteral("forward"),
      QStringLiteral("Send every record and visit the PostgreSQL server at URL has not acknowledged, beside the "
                     "readers and after them (postgresql://[user@]host[:port]/dbname[?...]; default QUILLMERE_FORWARD); "
                     "with --watch, within seconds of their arrival, all the while."),
      QStringLiteral("URL"));
  const QCommandLineOption site(QStringLiteral("site"),
                                QStringLiteral("This collector's name on the server (default: the host name)."),
                                QStringLiteral("NAME"));
  const QCommandLineOption watch(
      QStringLiteral("watch"),
      QStringLiteral("Keep a line open to every reader, store each card event as it happens, and collect each reader's "
                     "log on every connect and every --watch-collect minutes; without windows, until SIGTERM or SIGINT."));
  const QCommandLineOption watchCollect(
      QStringLiteral("watch-collect"),
      QStringLiteral("With --watch, collect each reader's log this often, 1 to %1 minutes (default 60).").arg(MaxCollectMinutes),
      QStringLiteral("MINUTES"));
  const QCommandLineOption watchJobs(
      QStringLiteral("watch-jobs"),
      QStringLiteral("With --watch, connect to and collect up to N readers side by side, 1 to %1 (default 16); the "
                     "others wait their turn, their live events stored all the while.")
          .arg(MaxWatchJobs),
      QStringLiteral("N"));
  parser.addOptions({help, version, database, init, check, warning, critical, jobs, forward, site, watch, watchCollect, watchJobs});
  AddSiteOptions(parser, Mentions(Arguments, QLatin1String("--set-reader")));
  parser.addPositionalArgument(QStringLiteral("HOURS"), QStringLiteral("The window of --check, 1 to %1.").arg(MaxCheckHours),
                               QStringLiteral("[HOURS]"));
  parser.addPositionalArgument(QStringLiteral("ADDRESS:PORT"), QStringLiteral("The one reader of --collect-now."),
                               QStringLiteral("[ADDRESS:PORT]"));
  if (!parser.parse(Arguments)) return refuse(parser.errorText());
  if (parser.isSet(help)) return Answer(parser.helpText());
  if (parser.isSet(version)) return Answer(QStringLiteral("quillmere %1\n").arg(QStringLiteral(QUILLMERE_VERSION)));
  const QStringList positional = parser.positionalArguments();
  TCommandLine line;
  if (parser.isSet(database) && parser.value(database).isEmpty()) return refuse(QStringLiteral("--database needs a file"));
  line.DatabasePath = DatabaseFile(parser.value(database), Environment);
  const QString jobsText = parser.isSet(jobs) ? parser.value(jobs) : Environment.Jobs;
  if (!jobsText.isEmpty() && !ParseWhole(jobsText, 1, std::numeric_limits<int>::max(), line.Run.Jobs)) {
    return refuse(QStringLiteral("N of --jobs (or QUILLMERE_JOBS) must be a whole number from 1 up, not '%1'").arg(jobsText));
  }
  line.Run.ForwardUrl = parser.isSet(forward) ? parser.value(forward) : Environment.Forward;
  line.Run.Site = parser.isSet(site) ? parser.value(site) : Environment.HostName;
  // Only the server sees the site: a machine without a host name collects all the same.
  if (!line.Run.ForwardUrl.isEmpty() && line.Run.Site.trimmed().isEmpty()) return refuse(QStringLiteral("--site needs a name"));
  if (parser.isSet(init) && checking) return refuse(QStringLiteral("--init and --check exclude each other"));
  if (parser.isSet(init)) line.Action = TCommandLine::TAction::Init;
  if (parser.isSet(watch)) {
    if (parser.isSet(init) || checking) return refuse(QStringLiteral("--watch excludes --init and --check"));
    line.Action = TCommandLine::TAction::Watch;
  }
  // An option of the watch's: a whole number of Unit from 1 to High.
  const auto watchNumber = [&](const QCommandLineOption& Option, const char* Unit, int High, int& Value) -> QString {
    if (!parser.isSet(Option)) return {};
    const QString name = Option.names().front();
    if (!parser.isSet(watch)) return QStringLiteral("--%1 needs --watch").arg(name);
    if (ParseWhole(parser.value(Option), 1, High, Value)) return {};
    return QStringLiteral("%1 of --%2 must be a whole number from 1 to %3, not '%4'")
        .arg(QLatin1String(Unit), name)
        .arg(High)
        .arg(parser.value(Option));
  };
  if (const QString error = watchNumber(watchCollect, "MINUTES", MaxCollectMinutes, line.Run.WatchCollectMinutes); !error.isEmpty()) {
    return refuse(error);
  }
  if (const QString error = watchNumber(watchJobs, "N", MaxWatchJobs, line.Run.WatchJobs); !error.isEmpty()) return refuse(error);
  const QString siteError = ReadSiteOptions(parser, line.Site);
  if (!siteError.isEmpty()) return refuse(siteError);
  if (line.Site.Tool != TSiteCommand::TTool::None) {
    for (const QString& other : {QStringLiteral("init"), QStringLiteral("check"), QStringLiteral("watch"), QStringLiteral("jobs"),
                                 QStringLiteral("forward"), QStringLiteral("site")}) {
      if (parser.isSet(other)) return refuse(QStringLiteral("the site tools exclude --%1").arg(other));
    }
    line.Action = TCommandLine::TAction::Site;
  }
  if (checking) {
    line.Action = TCommandLine::TAction::Check;
    if (positional.size() > 1) return refuse(QStringLiteral("--check takes one HOURS"));
    if (positional.size() == 1 && !ParseWhole(positional.front(), 1, MaxCheckHours, line.CheckHours)) {
      return refuse(
          QStringLiteral("HOURS must be a whole number from 1 to %1, not '%2'").arg(MaxCheckHours).arg(positional.front()));
    }
    const QString thresholdError = ReadThresholds(parser, line.CheckThresholds);
    if (!thresholdError.isEmpty()) return refuse(thresholdError);
  } else if (parser.isSet(warning) || parser.isSet(critical)) {
    return refuse(QStringLiteral("--%1 needs --check").arg(parser.isSet(warning) ? QStringLiteral("warning") : QStringLiteral("critical")));
  } else if (!positional.isEmpty() && line.Site.Tool != TSiteCommand::TTool::CollectNow) {
    return refuse(QStringLiteral("unexpected argument '%1'").arg(positional.front()));
  }
  return line;
}
