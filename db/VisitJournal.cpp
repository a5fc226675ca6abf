#include "VisitJournal.h"

#include <QSqlDatabase>
#include <QSqlRecord>
#include <QVariant>

#include "Clock.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
#include "SqlExec.h"

namespace {

const char* const CreateVisits =
    "CREATE TABLE IF NOT EXISTS visits (id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT, "
    "ipaddr TEXT, ipport TEXT, outcome TEXT NOT NULL, records_reported INTEGER, "
    "added INTEGER NOT NULL DEFAULT 0, duplicates INTEGER NOT NULL DEFAULT 0, invalid INTEGER NOT NULL DEFAULT 0, "
    "clock_set INTEGER NOT NULL DEFAULT 0, cleared INTEGER NOT NULL DEFAULT 0, detail TEXT)";

// The health check looks up the latest visits of each reader.
const char* const CreateVisitsIndex = "CREATE INDEX IF NOT EXISTS visits_reader ON visits (ipaddr, ipport, started)";

const char* const InterruptedDetail = "the run that started this visit ended before it did";

QString NowText() {
  return RecTimeText(Now());
}

// A row written late (kept back while another program held the file) keeps its visit's times.
QString TimeText(TDateTime When) {
  return When > 0 ? RecTimeText(When) : NowText();
}

QVariant Nullable(const std::optional<int>& Value) {
  return Value ? QVariant(*Value) : QVariant(QMetaType(QMetaType::Int));
}

}  // namespace

const QStringList& VisitColumns() {
  static const QStringList Columns = {"id",    "started", "ended",      "ipaddr",    "ipport",  "outcome", "records_reported",
                                      "added", "duplicates", "invalid", "clock_set", "cleared", "detail"};
  return Columns;
}

QList<TVisit> TVisitJournal::Open(const QString& ConnectionName) {
  Connection = ConnectionName;
  QSqlQuery query(QSqlDatabase::database(Connection, false));
  Exec(query, QString::fromLatin1(CreateVisits));
  ForeignShape = ShapeRefusal();
  if (!Available()) return {};
  Exec(query, QString::fromLatin1(CreateVisitsIndex));
  return MarkInterrupted();
}

// A table visits that someone made for another purpose is never altered, only left alone.
QString TVisitJournal::ShapeRefusal() const {
  QSqlQuery query(QSqlDatabase::database(Connection, false));
  Exec(query, QStringLiteral("SELECT * FROM visits LIMIT 0"));
  const QSqlRecord record = query.record();
  for (const QString& column : VisitColumns()) {
    if (record.indexOf(column) < 0) return QStringLiteral("a table visits without a column %1 exists").arg(column);
  }
  return {};
}

QList<TVisit> TVisitJournal::MarkInterrupted() {
  QList<TVisit> left;
  const QString runningText = OutcomeText(TVisitOutcome::Running);
  QSqlQuery running(QSqlDatabase::database(Connection, false));
  running.prepare(QStringLiteral("SELECT ipaddr, ipport FROM visits WHERE outcome = ?"));
  running.addBindValue(runningText);
  Exec(running);
  while (running.next()) {
    TVisit visit;
    visit.Address = running.value(0).toString();
    visit.Port = running.value(1).toString();
    visit.Outcome = TVisitOutcome::Interrupted;
    visit.Detail = QString::fromLatin1(InterruptedDetail);
    left << visit;
  }
  running.finish();
  QSqlQuery mark(QSqlDatabase::database(Connection, false));
  mark.prepare(QStringLiteral("UPDATE visits SET outcome = ?, ended = ?, detail = ? WHERE outcome = ?"));
  mark.addBindValue(OutcomeText(TVisitOutcome::Interrupted));
  mark.addBindValue(NowText());
  mark.addBindValue(QString::fromLatin1(InterruptedDetail));
  mark.addBindValue(runningText);
  Exec(mark);
  return left;
}

qint64 StartVisitRow(sqlite3* Db, const TVisit& Visit) {
  TNativeStatement insert(Db, "INSERT INTO visits (started, ipaddr, ipport, outcome) VALUES (?, ?, ?, ?) RETURNING id");
  insert.BindText(1, TimeText(Visit.Started).toUtf8());
  insert.BindText(2, Visit.Address.toUtf8());
  insert.BindText(3, Visit.Port.toUtf8());
  insert.BindText(4, OutcomeText(TVisitOutcome::Running).toUtf8());
  insert.Next();
  const qint64 id = insert.Int64(0);
  insert.Next();  // the statement's end: the row is in
  return id;
}

qint64 TVisitJournal::Start(const TVisit& Visit) {
  return StartVisitRow(NativeHandle(QSqlDatabase::database(Connection, false)), Visit);
}

void TVisitJournal::Finish(qint64 Id, const TVisit& Visit) {
  QSqlQuery update(QSqlDatabase::database(Connection, false));
  update.prepare(QStringLiteral("UPDATE visits SET ended = ?, outcome = ?, records_reported = ?, added = ?, "
                                "duplicates = ?, invalid = ?, clock_set = ?, cleared = ?, detail = ? WHERE id = ?"));
  for (const QVariant& value :
       {QVariant(TimeText(Visit.Ended)), QVariant(OutcomeText(Visit.Outcome)), Nullable(Visit.RecordsReported), QVariant(Visit.Added),
        QVariant(Visit.Duplicates), QVariant(Visit.Invalid), QVariant(int{Visit.ClockSet}), QVariant(int{Visit.Cleared}),
        QVariant(Visit.Detail), QVariant(Id)}) {
    update.addBindValue(value);
  }
  Exec(update);
}

void TVisit::AddLiveEvents(int Events) {
  const QString counted = CountsText();
  Added += Events;
  Live += Events;
  if (Detail.startsWith(counted)) {
    Detail.replace(0, counted.size(), CountsText());
  } else if (Events > 0) {
    Detail += QStringLiteral("; %1 live events stored since the last pass, counted as added").arg(Events);
  }
}

QString TVisit::CountsText() const {
  const QString live = Live > 0 ? QStringLiteral(" (%1 of them live events)").arg(Live) : QString();
  return QStringLiteral("%1 added%2, %3 duplicates, %4 invalid of %5 reported")
      .arg(Added)
      .arg(live)
      .arg(Duplicates)
      .arg(Invalid)
      .arg(RecordsReported.value_or(0));
}
