#include "HealthReport.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "Clock.h"
#include "HealthCheck.h"

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

// A visit under way is no failure, though not yet a success either.
bool Busy(const TReaderHealth& Reader) {
  return Reader.UnderWay && !Reader.Healthy;
}

QString Describe(const TReaderHealth& Reader, int WindowHours) {
  const QString state = Reader.Healthy ? QStringLiteral("ok     ") : Busy(Reader) ? QStringLiteral("busy   ") : QStringLiteral("NOT OK ");
  const QString reader = Printable(Reader.Address) + QLatin1Char(':') + Printable(Reader.Port);
  if (Reader.LastStarted.isEmpty()) return state + reader + QStringLiteral(" never visited");
  // One multi-argument arg: a "%1" in the file's text must never take a later value.
  const QString outcome = Printable(Reader.LastOutcome) + (Reader.UnderWay ? QStringLiteral(" (under way)") : QString());
  return state + QStringLiteral("%1 last visit %2 %3; last done %4; %5 failures since; %6 added in %7 h")
                     .arg(reader, Printable(Reader.LastStarted), outcome,
                          Reader.LastDone.isEmpty() ? QStringLiteral("never") : Printable(Reader.LastDone),
                          QString::number(Reader.FailuresSince), QString::number(Reader.AddedInWindow),
                          QString::number(WindowHours));
}

struct TSummary {
  TCheckState State = TCheckState::Ok;
  QStringList Words;
  QStringList Performance;

  void Raise(TCheckState To) { State = std::max(State, To); }
};

void SummariseReaders(const THealth& Health, const QString& DatabasePath, int WindowHours, TSummary& Summary) {
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
  if (Health.Readers.isEmpty()) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("no readers listed in %1").arg(Printable(DatabasePath));
  } else if (!Health.Journal || never == Health.Readers.size()) {
    Summary.Raise(TCheckState::Warning);
    Summary.Words << QStringLiteral("no run yet: %1 readers never visited").arg(never);
  } else {
    Summary.Raise(failing == 0 ? TCheckState::Ok : ok + busy == 0 ? TCheckState::Critical : TCheckState::Warning);
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
  const QDateTime attempt = QDateTime::fromString(Forward.LastAttempt, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  const qint64 ageSeconds = attempt.isValid() ? qRound64((Now() - ToDateTime(attempt)) * SecondsPerDay) : -1;
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

TCheckReport CheckHealth(const QString& DatabasePath, int WindowHours, bool Forwarding) {
  THealth health;
  try {
    health = ReadHealth(DatabasePath, WindowHours);
  } catch (const std::exception& Error) {
    return Unreadable(DatabasePath, Error);
  }
  TSummary summary;
  SummariseReaders(health, DatabasePath, WindowHours, summary);
  if (Forwarding) SummariseForward(health.Forward, WindowHours, summary);
  QString text = QStringLiteral("QUILLMERE %1 - %2 | %3\n")
                     .arg(QLatin1String(StateName(summary.State)), summary.Words.join(QStringLiteral("; ")),
                          summary.Performance.join(QLatin1Char(' ')));
  std::stable_partition(health.Readers.begin(), health.Readers.end(), [](const TReaderHealth& r) { return !r.Healthy && !Busy(r); });
  for (const TReaderHealth& reader : health.Readers) text += Describe(reader, WindowHours) + QLatin1Char('\n');
  return {summary.State, text};
}

int ReportHealth(const QString& DatabasePath, int WindowHours, bool Forwarding) {
  const TCheckReport report = CheckHealth(DatabasePath, WindowHours, Forwarding);
  std::fputs(report.Text.toLocal8Bit().constData(), stdout);
  return static_cast<int>(report.State);
}
