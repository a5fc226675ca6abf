#include "HealthReport.h"

#include <QDir>

#include <algorithm>
#include <cstdio>

#include "HealthCheck.h"

namespace {

constexpr int AllWell = 0;
constexpr int SomeNotWell = 1;
constexpr int Unreadable = 2;

QString Describe(const TReaderHealth& Reader, int WindowHours) {
  const QString state = Reader.Healthy ? QStringLiteral("ok     ") : QStringLiteral("NOT OK ");
  if (Reader.LastStarted.isEmpty()) return state + QStringLiteral("%1:%2 never visited").arg(Reader.Address, Reader.Port);
  return state + QStringLiteral("%1:%2 last visit %3 %4; last done %5; %6 failures since; %7 added in %8 h")
                     .arg(Reader.Address, Reader.Port, Reader.LastStarted, Reader.LastOutcome,
                          Reader.LastDone.isEmpty() ? QStringLiteral("never") : Reader.LastDone)
                     .arg(Reader.FailuresSince)
                     .arg(Reader.AddedInWindow)
                     .arg(WindowHours);
}

}  // namespace

int ReportHealth(const QString& ApplicationDirectory, int WindowHours) {
  const QString path = QDir(ApplicationDirectory).filePath(QStringLiteral("logs.mdb"));
  QList<TReaderHealth> readers;
  QString error;
  if (!ReadHealth(path, WindowHours, readers, error)) {
    std::fprintf(stderr, "quillmere: %s: %s\n", qPrintable(path), qPrintable(error));
    return Unreadable;
  }
  std::stable_partition(readers.begin(), readers.end(), [](const TReaderHealth& r) { return !r.Healthy; });
  for (const TReaderHealth& reader : readers) std::printf("%s\n", qPrintable(Describe(reader, WindowHours)));
  const bool allWell = std::all_of(readers.begin(), readers.end(), [](const TReaderHealth& r) { return r.Healthy; });
  return allWell ? AllWell : SomeNotWell;
}
