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
  Begin();
  QObject::connect(&Timer, &QTimer::timeout, &Timer, [this] { Look(); });
  Timer.start(LookEveryMs);
}

// Until the file takes the watch's row, no window shows the watch: said once, tried at each look.
bool TWatchDesk::Begin() {
  if (Begun) return true;
  try {
    BeginWatchState(ConnectionOf(Db), QCoreApplication::applicationPid());
    CreateCollectRequests(ConnectionOf(Db));
    Begun = true;
  } catch (const EDatabaseBusy& Error) {
    if (!BeginFailureSaid) {
      JournalLine(TPriority::Warning, QStringLiteral("%1: the readers window of another start cannot show this watch, nor ask "
                                                     "it for a pass, until the file takes its row: %2")
                                          .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
    }
    BeginFailureSaid = true;
  } catch (const EDatabaseError& Error) {
    Fail(Error);
  }
  return Begun;
}

// Another program's hold passes; any other failure is the disk's, which a person must hear of.
void TWatchDesk::Fail(const EDatabaseError& Error) {
  if (!Failed) {
    JournalLine(TPriority::Error, QStringLiteral("%1: the file failed to take the watch's rows for the readers window: %2")
                                      .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
  }
  Failed = true;
}

// Another program's hold on the file only delays both: each is tried again at the next look.
// The lines go first: an asker who sees its request taken then reads line states no older than
// the taking, not a line down a second ago that is up by now.
void TWatchDesk::Look() {
  if (!Begin()) return;
  try {
    Lines.Flush(ConnectionOf(Db));
  } catch (const EDatabaseBusy&) {
  } catch (const EDatabaseError& Error) {
    Fail(Error);
  }
  try {
    for (const QString& reader : TakeCollectRequests(ConnectionOf(Db), Watched)) {
      JournalLine(TPriority::Info, QStringLiteral("%1: a pass asked for; under way as soon as the line allows").arg(reader));
      Collect(reader);
    }
  } catch (const EDatabaseBusy&) {
  } catch (const EDatabaseError& Error) {
    Fail(Error);
  }
}

void TWatchDesk::End() {
  Timer.stop();
  if (!Begun) return;
  try {
    EndWatchState(ConnectionOf(Db));
  } catch (const EDatabaseBusy& Error) {
    JournalLine(TPriority::Warning, QStringLiteral("%1: this watch's rows for the readers window stay until the next watch: %2")
                                        .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
  } catch (const EDatabaseError& Error) {
    Fail(Error);
  }
}
