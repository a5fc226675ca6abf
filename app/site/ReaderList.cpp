#include "ReaderList.h"

#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

#include "SiteCommand.h"
#include "SiteConnection.h"
#include "SqlExec.h"

namespace {

// A line break typed into a cell must not start a line of its own.
QString OneLine(const QString& Text) {
  QString line = Text;
  for (QChar& c : line) {
    if (c.category() == QChar::Other_Control) c = u' ';
  }
  return line;
}

// A table visits of a shape the journal does not know leaves the readers listed all the same.
class TLastVisits {
 public:
  explicit TLastVisits(const TSiteConnection& Connection) : Query(Connection.Db()) {
    if (!Connection.HasTable("visits")) return;
    Kept = Query.prepare(QStringLiteral("SELECT started, outcome, added FROM visits WHERE ipaddr = ? AND ipport = ? "
                                        "ORDER BY id DESC LIMIT 1"));
    if (!Kept) Unreadable = QStringLiteral("last visit unknown: ") + Query.lastError().text();
  }
  QString Of(const QString& Address, const QString& Port) {
    if (!Unreadable.isEmpty()) return Unreadable;
    if (!Kept) return QStringLiteral("never visited");
    Query.bindValue(0, Address);
    Query.bindValue(1, Port);
    Exec(Query);
    if (!Query.next()) return QStringLiteral("never visited");
    return QStringLiteral("last visit %1 %2, %3 added")
        .arg(Query.value(0).toString(), Query.value(1).toString(), Query.value(2).toString());
  }

 private:
  QSqlQuery Query;
  bool Kept = false;
  QString Unreadable;
};

}  // namespace

QString FlagWords(const TReaderRow& Row) {
  return QStringList{Row.SetClock ? QStringLiteral("set clock") : QStringLiteral("clock left alone"),
                     Row.Download ? QStringLiteral("download") : QStringLiteral("no download"),
                     Row.ClearAfter ? QStringLiteral("clear after") : QStringLiteral("log kept")}
      .join(QStringLiteral(", "));
}

QStringList ReaderLines(const TSiteConnection& Connection) {
  const std::vector<TReaderEntry> entries = JudgeReaders(ReadReaderRecords(Connection.Db()));
  TLastVisits visits(Connection);
  QStringList lines;
  for (const TReaderEntry& entry : entries) {
    // A port that is no number is unreadable though its cells converted: the run stops there.
    if (!entry.Values || entry.Verdict == TRowVerdict::Unreadable) {
      lines << OneLine(QStringLiteral("%1 | row %2 cannot be read: %3").arg(entry.Text()).arg(entry.Number).arg(entry.Conversion));
      continue;
    }
    const TReaderRow& row = *entry.Values;
    QString line = QStringLiteral("%1:%2 | %3 | %4").arg(row.Address, row.Port, FlagWords(row), visits.Of(row.Address, row.Port));
    if (!entry.Usable()) line += QStringLiteral(" | ") + entry.Reason;
    lines << OneLine(line);
  }
  return lines;
}

int ListReaders(const QString& DatabasePath) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnusable, [&] {
    const TSiteConnection connection(DatabasePath, TAccess::Read);
    for (const QString& line : ReaderLines(connection)) std::printf("%s\n", line.toLocal8Bit().constData());
    return TExitStatus::Ok;
  });
}
