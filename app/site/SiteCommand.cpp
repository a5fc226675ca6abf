#include "SiteCommand.h"

#include <QCommandLineParser>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <exception>
#include <optional>
#include <tuple>

#include "Backup.h"
#include "CollectNow.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "OpenAndLock.h"
#include "ReaderList.h"
#include "ReaderProbe.h"
#include "Restore.h"

namespace {

using TTool = TSiteCommand::TTool;

// A reader's card numbers have 24 bits.
constexpr qint64 MaxCardNumber = 0xFFFFFF;

struct TToolOption {
  const char* Name;
  TTool Tool;
};
constexpr TToolOption ToolOptions[] = {{"readers", TTool::Readers},         {"add-reader", TTool::AddReader},
                                       {"set-reader", TTool::SetReader},
                                       {"remove-reader", TTool::RemoveReader}, {"test-reader", TTool::TestReader},
                                       {"export", TTool::Export},           {"backup", TTool::Backup},
                                       {"restore", TTool::Restore},         {"collect-now", TTool::CollectNow}};

// Options that belong to one tool, and that tool.
constexpr TToolOption ToolDetails[] = {{"set-clock", TTool::AddReader}, {"clear-after", TTool::AddReader},
                                       {"no-download", TTool::AddReader}, {"set-clock", TTool::SetReader},
                                       {"clear-after", TTool::SetReader}, {"download", TTool::SetReader},
                                       {"from", TTool::Export},         {"reader", TTool::Export},
                                       {"card", TTool::Export},
                                       {"to", TTool::Export},           {"format", TTool::Export},
                                       {"force", TTool::Backup},        {"force", TTool::Restore}};

QString Option(const char* Name) {
  return QString::fromLatin1(Name);
}

const char* NameOf(TTool Tool) {
  for (const TToolOption& option : ToolOptions) {
    if (option.Tool == Tool) return option.Name;
  }
  return "";
}

bool DetailBelongs(const char* Name, TTool Tool) {
  return std::any_of(std::begin(ToolDetails), std::end(ToolDetails),
                     [&](const TToolOption& Detail) { return qstrcmp(Detail.Name, Name) == 0 && Detail.Tool == Tool; });
}

QString ToolsOf(const char* Name) {
  QStringList tools;
  for (const TToolOption& detail : ToolDetails) {
    if (qstrcmp(detail.Name, Name) == 0) tools << QStringLiteral("--") + QLatin1String(NameOf(detail.Tool));
  }
  return tools.join(QStringLiteral(" or "));
}

QString ReadReader(const QCommandLineParser& Parser, TSiteCommand& Command) {
  QString error;
  const std::optional<TReaderAddress> reader = ParseReaderAddress(Parser.value(Option(NameOf(Command.Tool))), error);
  if (reader) Command.Reader = *reader;
  return error.isEmpty() ? QString() : QStringLiteral("--%1: %2").arg(QLatin1String(NameOf(Command.Tool)), error);
}

QString ReadChanges(const QCommandLineParser& Parser, TFlagChanges& Changes) {
  for (const auto& [name, change] : {std::pair{"set-clock", &Changes.SetClock}, std::pair{"download", &Changes.Download},
                                     std::pair{"clear-after", &Changes.ClearAfter}}) {
    if (!Parser.isSet(Option(name))) continue;
    const QString value = Parser.value(Option(name));
    if (value != u"on" && value != u"off") return QStringLiteral("--%1 takes on or off, not '%2'").arg(QLatin1String(name), value);
    *change = value == u"on";
  }
  if (!Changes.SetClock && !Changes.Download && !Changes.ClearAfter) {
    return QStringLiteral("--set-reader needs --set-clock, --download or --clear-after, each on or off");
  }
  return {};
}

QString ReadExport(const QCommandLineParser& Parser, TExportRequest& Export) {
  for (const auto& [name, upper, bound] : {std::tuple{"from", false, &Export.From}, std::tuple{"to", true, &Export.To}}) {
    if (!Parser.isSet(Option(name))) continue;
    const std::optional<QString> value = ExportBound(Parser.value(Option(name)), upper);
    if (!value) {
      return QStringLiteral("--%1 must be a local date YYYY-MM-DD, today, yesterday or -Nd, then [ HH:MM[:SS]], that exists, not '%2'")
          .arg(QLatin1String(name), Parser.value(Option(name)));
    }
    *bound = *value;
  }
  if (!Export.From.isEmpty() && !Export.To.isEmpty() && Export.From > Export.To) {
    return QStringLiteral("--from %1 is after --to %2").arg(Export.From, Export.To);
  }
  if (Parser.isSet(QStringLiteral("reader"))) {
    const QString text = Parser.value(QStringLiteral("reader"));
    QString error;
    // Records keep no port: one given is checked, and compared with each address.
    const bool ported = text.contains(u':');
    const std::optional<TReaderAddress> reader = ParseReaderAddress(ported ? text : text + QStringLiteral(":1"), error);
    if (!reader) return QStringLiteral("--reader: ") + error;
    Export.Reader = TReaderAddress{reader->Address, ported ? reader->Port : QString()};
  }
  for (const QString& card : Parser.values(QStringLiteral("card"))) {
    bool ok = false;
    const qint64 number = card.toLongLong(&ok);
    if (!ok || number < 0 || number > MaxCardNumber) {
      return QStringLiteral("--card must be a card number from 0 to %1, not '%2'").arg(MaxCardNumber).arg(card);
    }
    Export.Cards << number;
  }
  const QString format = Parser.value(QStringLiteral("format"));
  if (format == u"json") Export.Format = TExportFormat::JsonLines;
  else if (!format.isEmpty() && format != u"csv") return QStringLiteral("--format is csv or json, not '%1'").arg(format);
  return {};
}

}  // namespace

void AddSiteOptions(QCommandLineParser& Parser, bool SettingReader) {
  const QString reader = QStringLiteral("ADDRESS:PORT");
  const QString onOff = SettingReader ? QStringLiteral("on|off") : QString();
  Parser.addOptions({
      {QStringLiteral("readers"),
       QStringLiteral("List the rows of readers, in table order: address:port, flags, last visit; a row that cannot be read "
                      "says why. Contacts no reader.")},
      {QStringLiteral("add-reader"),
       QStringLiteral("Append a readers row (download on, clock and log left alone unless asked); refused (exit 2, nothing "
                      "written) for a bad address or port or a row for the same reader already there."),
       reader},
      {QStringLiteral("set-clock"),
       QStringLiteral("With --add-reader: set the reader's clock at each visit. With --set-reader: on or off."), onOff},
      {QStringLiteral("clear-after"),
       QStringLiteral("With --add-reader: clear the reader's log after each visit. With --set-reader: on or off."), onOff},
      {QStringLiteral("no-download"), QStringLiteral("With --add-reader: do not download the reader's log.")},
      {QStringLiteral("set-reader"),
       QStringLiteral("Change the flags of the readers row(s) of that reader, given as --set-clock, --download and "
                      "--clear-after on|off, and print them; refused (exit 2, nothing written) for a reader no row names "
                      "or a bad value."),
       reader},
      {QStringLiteral("download"), QStringLiteral("With --set-reader: download the reader's log, on or off."),
       QStringLiteral("on|off")},
      {QStringLiteral("remove-reader"),
       QStringLiteral("Remove the readers row(s) of that reader, printing each with its flags and the --add-reader that "
                      "puts it back; its records and visits stay."),
       reader},
      {QStringLiteral("test-reader"),
       QStringLiteral("Ask the reader how many records it holds, changing nothing on it (no lock, no clock, no clear) and "
                      "storing nothing; exit 0 only when it answered (else 9)."),
       reader},
      {QStringLiteral("export"),
       QStringLiteral("Write the records to standard output, in time order: CSV (RFC 4180, with a header) or JSON lines.")},
      {QStringLiteral("from"),
       QStringLiteral("With --export: records from this local time on, inclusive; a date may be today, yesterday or -Nd "
                      "(N days ago)."),
       QStringLiteral("DATE[ HH:MM[:SS]]")},
      {QStringLiteral("to"), QStringLiteral("With --export: records up to this local time, inclusive (a date: its whole day)."),
       QStringLiteral("DATE[ HH:MM[:SS]]")},
      {QStringLiteral("reader"),
       QStringLiteral("With --export: only the records of that reader, by its address as the site tools compare it "
                      "(records keep no port)."),
       QStringLiteral("ADDRESS[:PORT]")},
      {QStringLiteral("card"), QStringLiteral("With --export: only the records of card N; may be given again for more cards."),
       QStringLiteral("N")},
      {QStringLiteral("format"), QStringLiteral("With --export: csv (default) or json."), QStringLiteral("csv|json")},
      {QStringLiteral("backup"),
       QStringLiteral("Write a consistent copy of logs.mdb to FILE, readable by its owner and the data folder's group only; "
                      "an existing FILE is left alone (exit 7)."),
       QStringLiteral("FILE")},
      {QStringLiteral("restore"),
       QStringLiteral("Put a copy of the back-up FILE in logs.mdb's place, for its group as --init makes it, once FILE passes "
                      "integrity_check and holds the tables a run needs; refused (exit 12) while a run, a watch or another "
                      "program has logs.mdb open. The file it replaces is kept beside it as logs.mdb.before-restore-DATE."),
       QStringLiteral("FILE")},
      {QStringLiteral("force"),
       QStringLiteral("With --backup: replace an existing FILE. With --restore: keep no copy of the file it replaces.")},
      {QStringLiteral("collect-now"),
       QStringLiteral("Ask the running watch for a pass of every reader, or of the reader ADDRESS:PORT given after it, now; "
                      "wait for the passes (at most 15 minutes; Ctrl-C stops the wait only) and print each reader's outcome. "
                      "Exit 0 when every pass was done, 14 when one was not, 13 when no watch holds logs.mdb, 2 for a "
                      "reader no row names.")},
  });
}

QString ReadSiteOptions(const QCommandLineParser& Parser, TSiteCommand& Command) {
  // The parser would keep the last of two and drop the first without a word.
  for (const char* name : {"add-reader", "set-reader", "remove-reader", "test-reader", "backup", "restore", "from", "to", "format", "reader",
                           "set-clock", "clear-after", "download"}) {
    if (Parser.values(Option(name)).size() > 1) return QStringLiteral("--%1 is given more than once").arg(QLatin1String(name));
  }
  for (const TToolOption& option : ToolOptions) {
    if (!Parser.isSet(Option(option.Name))) continue;
    if (Command.Tool != TTool::None) {
      return QStringLiteral("--%1 and --%2 exclude each other").arg(QLatin1String(NameOf(Command.Tool)), QLatin1String(option.Name));
    }
    Command.Tool = option.Tool;
  }
  for (const TToolOption& detail : ToolDetails) {
    if (Parser.isSet(Option(detail.Name)) && !DetailBelongs(detail.Name, Command.Tool)) {
      return QStringLiteral("--%1 needs %2").arg(QLatin1String(detail.Name), ToolsOf(detail.Name));
    }
  }
  switch (Command.Tool) {
    case TTool::AddReader:
      Command.Flags = {Parser.isSet(QStringLiteral("set-clock")), !Parser.isSet(QStringLiteral("no-download")),
                       Parser.isSet(QStringLiteral("clear-after"))};
      return ReadReader(Parser, Command);
    case TTool::SetReader: {
      const QString error = ReadChanges(Parser, Command.Changes);
      return error.isEmpty() ? ReadReader(Parser, Command) : error;
    }
    case TTool::RemoveReader:
    case TTool::TestReader:
      return ReadReader(Parser, Command);
    case TTool::Export:
      return ReadExport(Parser, Command.Export);
    case TTool::Backup:
      Command.BackupFile = Parser.value(QStringLiteral("backup"));
      Command.Force = Parser.isSet(QStringLiteral("force"));
      return Command.BackupFile.isEmpty() ? QStringLiteral("--backup needs a file") : QString();
    case TTool::Restore:
      Command.BackupFile = Parser.value(QStringLiteral("restore"));
      Command.Force = Parser.isSet(QStringLiteral("force"));
      return Command.BackupFile.isEmpty() ? QStringLiteral("--restore needs a file") : QString();
    case TTool::CollectNow: {
      const QStringList positional = Parser.positionalArguments();
      if (positional.size() > 1) return QStringLiteral("--collect-now takes one ADDRESS:PORT");
      if (positional.isEmpty()) return {};
      QString error;
      const std::optional<TReaderAddress> reader = ParseReaderAddress(positional.front(), error);
      if (reader) Command.Reader = *reader;
      return error.isEmpty() ? QString() : QStringLiteral("--collect-now: ") + error;
    }
    case TTool::None:
    case TTool::Readers:
      break;
  }
  return {};
}

int RunSiteCommand(const TSiteCommand& Command, const QString& DatabasePath, const QString& SharedFolder) {
  switch (Command.Tool) {
    case TTool::Readers: return ListReaders(DatabasePath);
    case TTool::AddReader: return AddReader(DatabasePath, Command.Reader, Command.Flags);
    case TTool::SetReader: return SetReader(DatabasePath, Command.Reader, Command.Changes);
    case TTool::RemoveReader: return RemoveReader(DatabasePath, Command.Reader);
    case TTool::TestReader: return TestReader(Command.Reader);
    case TTool::Export: return ExportRecords(DatabasePath, Command.Export, stdout);
    case TTool::Backup: return BackupTo(DatabasePath, Command.BackupFile, Command.Force);
    case TTool::Restore: return RestoreFrom(DatabasePath, Command.BackupFile, Command.Force, SharedFolder);
    case TTool::CollectNow:
      return CollectNow(DatabasePath, Command.Reader.Address.isEmpty() ? std::nullopt : std::optional(Command.Reader));
    case TTool::None: break;
  }
  return ExitCode(TExitStatus::Usage);
}

int RunSiteTool(const QString& DatabasePath, TExitStatus Failure, const std::function<TExitStatus()>& Tool) {
  const auto fail = [&](TExitStatus Status, const char* Reason) {
    JournalLine(TPriority::Error, QStringLiteral("quillmere: %1: %2").arg(DatabasePath, QString::fromLocal8Bit(Reason)));
    return ExitCode(Status);
  };
  try {
    return ExitCode(Tool());
  } catch (const EDatabaseOpenError& Error) {
    return fail(StatusOf(Error.Kind), Error.what());
  } catch (const std::exception& Error) {
    return fail(Failure, Error.what());
  }
}
