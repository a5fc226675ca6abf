#include "WatchDesk.h"

#include <QCoreApplication>
#include <QSqlDatabase>

#include "CollectRequests.h"
#include "Errors.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "WatchLines.h"
#include "WatchState.h"

namespace {

constexpr int LookEveryMs = 1000;

QSqlDatabase ConnectionOf(const TLogDatabase& Db) {
  return QSqlDatabase::database(Db.Connection(), false);
}

}  // namespace

TWatchDesk::TWatchDesk(const TLogDatabase& ADb, TWatchLines& ALines, TWatched AWatched, TCollect ACollect)
    : Db(ADb), Lines(ALines), Watched(std::move(AWatched)), Collect(std::move(ACollect)) {
  try {
    BeginWatchState(ConnectionOf(Db), QCoreApplication::applicationPid());
    CreateCollectRequests(ConnectionOf(Db));
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Warning, QStringLiteral("%1: the readers window of another start cannot show this watch, nor ask it "
                                                   "for a pass: %2")
                                        .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
    return;
  }
  QObject::connect(&Timer, &QTimer::timeout, &Timer, [this] { Look(); });
  Timer.start(LookEveryMs);
}

// Another program's hold on the file only delays both: each is tried again at the next look.
void TWatchDesk::Look() {
  try {
    for (const QString& reader : TakeCollectRequests(ConnectionOf(Db), Watched)) {
      JournalLine(TPriority::Info, QStringLiteral("%1: a pass asked for; under way as soon as the line allows").arg(reader));
      Collect(reader);
    }
  } catch (const EDatabaseError&) {
  }
  try {
    Lines.Flush(ConnectionOf(Db));
  } catch (const EDatabaseError&) {
  }
}

void TWatchDesk::End() {
  if (!Timer.isActive()) return;
  Timer.stop();
  try {
    EndWatchState(ConnectionOf(Db));
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Warning, QStringLiteral("%1: this watch's rows for the readers window stay until the next watch: %2")
                                        .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
  }
}
