#include "CommandLine.h"

#include <QCommandLineParser>

namespace {

constexpr int MaxCheckHours = 24 * 366;
constexpr int UsageErrorExitCode = 2;

const QString Usage = QStringLiteral("usage: quillmere [--help] [--version] [--check [HOURS]]");

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

bool ParseHours(const QString& Text, int& Hours) {
  bool ok = false;
  Hours = Text.toInt(&ok);
  return ok && Hours >= 1 && Hours <= MaxCheckHours;
}

}  // namespace

TCommandLine ParseCommandLine(const QStringList& Arguments) {
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
  parser.addOptions({help, version, check});
  parser.addPositionalArgument(QStringLiteral("HOURS"), QStringLiteral("The window of --check, 1 to %1.").arg(MaxCheckHours),
                               QStringLiteral("[HOURS]"));
  if (!parser.parse(Arguments)) return Refuse(parser.errorText());
  if (parser.isSet(help)) return Answer(parser.helpText());
  if (parser.isSet(version)) return Answer(QStringLiteral("quillmere %1\n").arg(QStringLiteral(QUILLMERE_VERSION)));
  const QStringList positional = parser.positionalArguments();
  TCommandLine line;
  if (parser.isSet(check)) {
    line.Action = TCommandLine::TAction::Check;
    if (positional.size() > 1) return Refuse(QStringLiteral("--check takes one HOURS"));
    if (positional.size() == 1 && !ParseHours(positional.front(), line.CheckHours)) {
      return Refuse(QStringLiteral("HOURS must be a whole number from 1 to %1, not '%2'").arg(MaxCheckHours).arg(positional.front()));
    }
  } else if (!positional.isEmpty()) {
    return Refuse(QStringLiteral("unexpected argument '%1'").arg(positional.front()));
  }
  return line;
}
