#include "CommandLine.h"

#include <QCommandLineParser>

namespace {

constexpr int MaxCheckHours = 24 * 366;
constexpr int MaxJobs = 64;
constexpr int UsageErrorExitCode = 2;

const QString Usage =
    QStringLiteral("usage: quillmere [--help] [--version] [--jobs N] [--forward URL [--site NAME]] [--check [HOURS]]");

TCommandLine Refuse(const QString& Error) {
  TCommandLine line;
  line.Action = TCommandLine::TAction::Exit;
  line.ExitCode = UsageErrorExitCode;
  line.Output = QStringLiteral("quillmere: %1 (%2)").arg(Error, Usage);
  line.OutputIsError = true;
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

}  // namespace

bool IsServerUrl(const QString& Url) {
  return Url.startsWith(QLatin1String("postgresql://")) || Url.startsWith(QLatin1String("postgres://"));
}

TCommandLine ParseCommandLine(const QStringList& Arguments, const TEnvironmentDefaults& Environment) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Collects the event logs of the card readers listed in logs.mdb beside the program.\n"
                     "Without options: one run over every reader."));
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
  const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
  const QCommandLineOption check(QStringLiteral("check"),
                                 QStringLiteral("Report each reader's last visits from logs.mdb and exit: 0 when every reader "
                                                "had a done visit within HOURS (default 24), 1 when some did not, 2 when "
                                                "the file or its journal cannot be read. Contacts no reader."));
  const QCommandLineOption jobs(QStringLiteral("jobs"),
                                QStringLiteral("Visit up to N readers side by side, 1 to %1 (default 1, or QUILLMERE_JOBS).").arg(MaxJobs),
                                QStringLiteral("N"));
  const QCommandLineOption forward(
      QStringLiteral("forward"),
      QStringLiteral("After the readers, send every record and visit the PostgreSQL server at URL has not acknowledged "
                     "(postgresql://[user@]host[:port]/dbname[?...]; default QUILLMERE_FORWARD)."),
      QStringLiteral("URL"));
  const QCommandLineOption site(QStringLiteral("site"), QStringLiteral("This collector's name on the server (default: the host name)."),
                                QStringLiteral("NAME"));
  parser.addOptions({help, version, check, jobs, forward, site});
  parser.addPositionalArgument(QStringLiteral("HOURS"), QStringLiteral("The window of --check, 1 to %1.").arg(MaxCheckHours),
                               QStringLiteral("[HOURS]"));
  if (!parser.parse(Arguments)) return Refuse(parser.errorText());
  if (parser.isSet(help)) return Answer(parser.helpText());
  if (parser.isSet(version)) return Answer(QStringLiteral("quillmere %1\n").arg(QStringLiteral(QUILLMERE_VERSION)));
  const QStringList positional = parser.positionalArguments();
  TCommandLine line;
  const QString jobsText = parser.isSet(jobs) ? parser.value(jobs) : Environment.Jobs;
  if (!jobsText.isEmpty() && !ParseWhole(jobsText, 1, MaxJobs, line.Run.Jobs)) {
    return Refuse(QStringLiteral("N of --jobs (or QUILLMERE_JOBS) must be a whole number from 1 to %1, not '%2'").arg(MaxJobs).arg(jobsText));
  }
  line.Run.ForwardUrl = parser.isSet(forward) ? parser.value(forward) : Environment.Forward;
  if (!line.Run.ForwardUrl.isEmpty() && !IsServerUrl(line.Run.ForwardUrl)) {
    return Refuse(QStringLiteral("the URL of --forward (or QUILLMERE_FORWARD) must begin with postgresql://"));
  }
  line.Run.Site = parser.isSet(site) ? parser.value(site) : Environment.HostName;
  if (line.Run.Site.trimmed().isEmpty()) return Refuse(QStringLiteral("--site needs a name"));
  if (parser.isSet(check)) {
    line.Action = TCommandLine::TAction::Check;
    if (positional.size() > 1) return Refuse(QStringLiteral("--check takes one HOURS"));
    if (positional.size() == 1 && !ParseWhole(positional.front(), 1, MaxCheckHours, line.CheckHours)) {
      return Refuse(QStringLiteral("HOURS must be a whole number from 1 to %1, not '%2'").arg(MaxCheckHours).arg(positional.front()));
    }
  } else if (!positional.isEmpty()) {
    return Refuse(QStringLiteral("unexpected argument '%1'").arg(positional.front()));
  }
  return line;
}
