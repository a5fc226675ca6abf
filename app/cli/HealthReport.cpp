#include "HealthReport.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <tuple>

#include "Clock.h"
#include "HealthCheck.h"
#include "VisitOutcome.h"

namespace {

constexpr int SecondsPerDay = 24 * 60 * 60;

const char* StateName(TCheckState State) {
  switch (State) {
    case TCheckState::Ok: return "OK";
    case TCheckState::Warning: return "WARNING";
    case TCheckState::Critical: return "CRITICAL";
    case TCheckState::Unknown: break;
  }
  return "UNKNOWN";
}

// Text from the file on one line of its own: a line break would forge a reader's line, and a
// '|' would start performance data.
QString Printable(QString Text) {
  for (QChar& c : Text) {
    if (!c.isPrint() || c == QLatin1Char('|')) c = QLatin1Char(' ');
  }
  return Text.simplified();
}

// Seconds from a time the file holds (local) to now; nullopt when the text is no time.
std::optional<qint64> SecondsSince(const QString& Time) {
  const QDateTime at = QDateTime::fromString(Time, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  if (!at.isValid()) return std::nullopt;
  return qRound64((Now() - ToDateTime(at)) * SecondsPerDay);
}

// A visit under way is no failure, though not yet a success either.
bool Busy(const TReaderHealth& Reader) {
  return Reader.UnderWay && !Reader.Healthy;
}

// Never done counts as done too long ago, whatever the threshold.
bool DoneLongerAgoThan(const TReaderHealth& Reader, int Hours) {
  const std::optional<qint64> age = SecondsSince(Reader.LastDone);
  return !age || *age > qint64{Hours} * 3600;
}

// Given thresholds, only the hours since the last done visit tell a reader's health.
void JudgeByThresholds(QList<TReaderHealth>& Readers, const TCheckThresholds& Thresholds) {
  const int hours = Thresholds.WarningHours > 0 ? Thresholds.WarningHours : Thresholds.CriticalHours;
  for (TReaderHealth& reader : Readers) reader.Healthy = !DoneLongerAgoThan(reader, hours);
}

QString NameOf(const TReaderHealth& Reader) {
  return Printable(Reader.Address) + QLatin1Char(':') + Printable(Reader.Port);
}

QString Describe(const TReaderHealth& Reader, int WindowHours) {
  const QString state = Reader.Healthy ? QStringLiteral("ok     ") : Busy(Reader) ? QStringLiteral("busy   ") : QStringLiteral("NOT OK ");
  const QString reader = NameOf(Reader);
  if (Reader.LastStarted.isEmpty()) return state + reader + QStringLiteral(" never visited");
  // One multi-argument arg: a "%1" in the file's text must never take a later value.
  if (Reader.LastOutcome == OutcomeText(TVisitOutcome::Done)) {  // the last visit is the last done one
    return state + QStringLiteral("%1 last visit done, ended %2; %3 added in %4 h")
                       .arg(reader, Printable(Reader.LastDone), QString::number(Reader.AddedInWindow),
                            QString::number(WindowHours));
  }
  const QString outcome = Printable(Reader.LastOutcome) + (Reader.UnderWay ? QStringLiteral(" (under way)") : QString());
  return state + QStringLiteral("%1 last visit %2 %3; last done %4; %5 failures since; %6 added in %7 h")
                     .arg(reader, Printable(Reader.LastStarted), outcome,
                          Reader.LastDone.isEmpty() ? QStringLiteral("never") : Printable(Reader.LastDone),
                          QString::number(Reader.FailuresSince), QString::number(Reader.AddedInWindow),
                          QString::number(WindowHours));
}

QString DescribeUnusable(const TUnusableRow& Row) {
  return QStringLiteral("WARNING readers row %1 (%2): %3").arg(QString::number(Row.Number), Printable(Row.Reader), Printable(Row.Reason));
}

struct TSummary {
  TCheckState State = TCheckState::Ok;
  QStringList Words;
  QStringList Performance;

  void Raise(TCheckState To) { State = std::max(State, To); }
};

// The readers over each threshold, by name, the critical first: a monitor shows the first line.
void NameReadersOver(const QList<TReaderHealth>& Readers, const TCheckThresholds& Thresholds, TSummary& Summary) {
  QStringList critical;
  QStringList warning;
  for (const TReaderHealth& reader : Readers) {
    if (reader.Healthy || Busy(reader)) continue;
    const bool overCritical = Thresholds.CriticalHours > 0 && DoneLongerAgoThan(reader, Thresholds.CriticalHours);
    (overCritical ? critical : warning) << NameOf(reader);
  }
  for (const auto& [state, hours, names] : {std::tuple{TCheckState::Critical, Thresholds.CriticalHours, &critical},
                                            std::tuple{TCheckState::Warning, Thresholds.WarningHours, &warning}}) {
    if (names->isEmpty()) continue;
    Summary.Raise(state);
    Summary.Words << QStringLiteral("no done visit in %1 h (%2): %3")
                         .arg(QString::number(hours), QString::fromLatin1(StateName(state)).toLower(),
                              names->join(QStringLiteral(", ")));
  }
}

void SummariseReaders(const THealth& Health, const QString& DatabasePath, int WindowHours, const TCheckThresholds& Thresholds,
                      TSummary& Summary) {
  const auto count = [&](auto Test) { return std::count_if(Health.Readers.begin(), Health.Readers.end(), Test); };
  const qsizetype ok = count([](const TReaderHealth& r) { return r.Healthy; });
  const qsizetype never = count([](const TReaderHealth& r) { return r.LastStarted.isEmpty(); });
  const qsizetype busy = count(Busy);
  const qsizetype failing = Health.Readers.size() - ok - busy;
  int added = 0;
  for (const TReaderHealth& reader : Health.Readers) added += reader.AddedInWindow;
  Summary.Performance << QStringLiteral("readers_ok=%1;;;0").arg(ok) << QStringLiteral("readers_not_ok=%1;;;0").arg(failing)
                      << QStringLiteral("readers_never_visited=%1;;;0").arg(never)
                      << QStringLiteral("records_added=%1;;;0").arg(added);
  if (!Health.Unusable.isEmpty()) {
    QStringList rows;
    for (const TUnusableRow& row : Health.Unusable) rows << QString::number(row.Number);
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("readers rows not usable: %1").arg(rows.join(QStringLiteral(", ")));
  }
  if (Health.Readers.isEmpty()) {
    if (!Health.Unusable.isEmpty()) return;
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("no readers listed in %1").arg(Printable(DatabasePath));
  } else if (!Health.Journal || never == Health.Readers.size()) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("no run yet: %1 readers never visited").arg(never);
  } else {
    if (Thresholds.Given()) {
      NameReadersOver(Health.Readers, Thresholds, Summary);
    } else {
      Summary.Raise(failing == 0 ? TCheckState::Ok : ok + busy == 0 ? TCheckState::Critical : TCheckState::Warning);
    }
    Summary.Words << QStringLiteral("%1 of %2 readers ok, %3%4 never visited; %5 records added in %6 h")
                         .arg(ok)
                         .arg(Health.Readers.size())
                         .arg(busy > 0 ? QStringLiteral("%1 with a visit under way, ").arg(busy) : QString())
                         .arg(never)
                         .arg(added)
                         .arg(WindowHours);
  }
}

// The forwarder notes the time of every attempt and clears the error on success: with no
// error, the last attempt is the last success.
void SummariseForward(const TForwardHealth& Forward, int WindowHours, TSummary& Summary) {
  if (Forward.Target.isEmpty()) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("nothing forwarded yet");
    return;
  }
  const QString target = Printable(Forward.Target);
  if (Forward.SetAsideInWindow > 0) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("%1 rows refused by the server and set aside in %2 h (table forwarding_rejected)")
                         .arg(Forward.SetAsideInWindow)
                         .arg(WindowHours);
  }
  if (!Forward.LastError.isEmpty()) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("forwarding to %1 failed at %2: %3")
                         .arg(target, Printable(Forward.LastAttempt), Printable(Forward.LastError));
    return;
  }
  const qint64 ageSeconds = SecondsSince(Forward.LastAttempt).value_or(-1);
  if (ageSeconds < 0 || ageSeconds > qint64{WindowHours} * 3600) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("forwarding to %1 last succeeded at %2").arg(target, Printable(Forward.LastAttempt));
  } else {
    Summary.Words << QStringLiteral("forwarded to %1 %2 min ago").arg(target).arg(ageSeconds / 60);
  }
  if (ageSeconds >= 0) Summary.Performance << QStringLiteral("forward_age=%1s;;;0").arg(ageSeconds);
}

TCheckReport Unreadable(const QString& DatabasePath, const std::exception& Error) {
  return {TCheckState::Unknown, QStringLiteral("QUILLMERE UNKNOWN - cannot read %1: %2\n")
                                    .arg(Printable(DatabasePath), Printable(QString::fromLocal8Bit(Error.what())))};
}

}  // namespace

TCheckReport CheckHealth(const QString& DatabasePath, int WindowHours, bool Forwarding, const TCheckThresholds& Thresholds) {
  THealth health;
  try {
    health = ReadHealth(DatabasePath, WindowHours);
  } catch (const std::exception& Error) {
    return Unreadable(DatabasePath, Error);
  }
  if (Thresholds.Given()) JudgeByThresholds(health.Readers, Thresholds);
  TSummary summary;
  SummariseReaders(health, DatabasePath, WindowHours, Thresholds, summary);
  if (Forwarding) SummariseForward(health.Forward, WindowHours, summary);
  if (!health.Unreadable.isEmpty()) {
    summary.Words << QStringLiteral("%1 may not be read by this user: the last minutes may be missing")
                         .arg(Printable(health.Unreadable.join(QStringLiteral(" and "))));
  }
  QString text = QStringLiteral("QUILLMERE %1 - %2 | %3\n")
                     .arg(QLatin1String(StateName(summary.State)), summary.Words.join(QStringLiteral("; ")),
                          summary.Performance.join(QLatin1Char(' ')));
  std::stable_partition(health.Readers.begin(), health.Readers.end(), [](const TReaderHealth& r) { return !r.Healthy && !Busy(r); });
  for (const TUnusableRow& row : health.Unusable) text += DescribeUnusable(row) + QLatin1Char('\n');
  for (const TReaderHealth& reader : health.Readers) text += Describe(reader, WindowHours) + QLatin1Char('\n');
  return {summary.State, text};
}

int ReportHealth(const QString& DatabasePath, int WindowHours, bool Forwarding, const TCheckThresholds& Thresholds) {
  const TCheckReport report = CheckHealth(DatabasePath, WindowHours, Forwarding, Thresholds);
  std::fputs(report.Text.toLocal8Bit().constData(), stdout);
  return static_cast<int>(report.State);
}
