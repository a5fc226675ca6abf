#include "CollectNow.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "CollectRequests.h"
#include "DatabaseFile.h"
#include "Errors.h"
#include "LogDatabase.h"
#include "ReaderEdit.h"
#include "RunLock.h"
#include "SiteCommand.h"
#include "SiteConnection.h"
#include "SqlExec.h"
#include "StopSignals.h"
#include "Transaction.h"
#include "WatchState.h"
#include "WatchView.h"

namespace {

struct TAsked {
  TReaderAddress Reader;
  qint64 Id = 0;
  bool Over = false;
  bool Done = false;
};

void Say(const TReaderAddress& Reader, const QString& Text) {
  std::printf("%s: %s\n", qPrintable(Reader.Text()), qPrintable(Text));
  std::fflush(stdout);
}

void End(TAsked& Asked, bool Done, const QString& Text) {
  Asked.Over = true;
  Asked.Done = Done;
  Say(Asked.Reader, Text);
}

// The first visit of the reader that ended since the watch took the request; false while none has.
bool EndedPass(const QSqlDatabase& Db, TAsked& Asked, const QString& Taken) {
  QSqlQuery query(Db);
  query.setForwardOnly(true);
  query.prepare(QStringLiteral("SELECT outcome, detail FROM visits WHERE ipaddr = ? AND ipport = ? "
                               "AND started >= ? AND outcome <> 'running' ORDER BY id LIMIT 1"));
  for (const QVariant& value : {QVariant(Asked.Reader.Address), QVariant(Asked.Reader.Port), QVariant(Taken)}) query.addBindValue(value);
  Exec(query);
  if (!query.next()) return false;
  const QString outcome = query.value(0).toString();
  QString text = outcome;
  if (!query.value(1).toString().isEmpty()) text += QStringLiteral(": ") + query.value(1).toString();
  End(Asked, outcome == QStringLiteral("done"), text);
  return true;
}

bool LineDown(const TWatchView& View, const TReaderAddress& Reader, QString& Since) {
  for (const TReaderView& reader : View.Readers) {
    if (reader.Address != Reader.Address || reader.Port != Reader.Port || !reader.Line) continue;
    if (reader.Line->Line != TLineState::TLine::Down) return false;
    Since = RecTimeText(reader.Line->Since);
    return true;
  }
  return false;
}

// One look at every request still open.
void Look(const QSqlDatabase& Db, std::vector<TAsked>& Asked, bool TakeWaitOver) {
  const TWatchView view = ReadWatchView(Db);
  for (TAsked& asked : Asked) {
    if (asked.Over) continue;
    const TCollectAnswer answer = CollectAnswer(Db, asked.Id);
    QString since;
    if (answer.Taken.isEmpty()) {
      if (TakeWaitOver) End(asked, false, QStringLiteral("the watch did not take the request; is it stopping?"));
    } else if (!answer.Accepted()) {
      End(asked, false, answer.Answer);
    } else if (!EndedPass(Db, asked, answer.Taken) && LineDown(view, asked.Reader, since)) {
      End(asked, false, QStringLiteral("line down since %1; its pass comes once the line is back").arg(since));
    }
  }
}

void EndAll(std::vector<TAsked>& Asked, const QString& Why) {
  for (TAsked& asked : Asked) {
    if (!asked.Over) End(asked, false, Why);
  }
}

TExitStatus AskAndWait(const QString& DatabasePath, const std::optional<TReaderAddress>& Reader, const TCollectWaits& Waits) {
  const TRunLockLook watching(DatabasePath);  // before the connection, which goes first
  const TSiteConnection connection(DatabasePath, TAccess::Write);
  std::vector<TReaderEntry> rows = Reader ? SameReader(connection, *Reader) : NamingRows(connection);
  // The watch keeps one line to a reader, under its first row: a second row's pass is that one.
  std::erase_if(rows, [](const TReaderEntry& Row) { return Row.Verdict == TRowVerdict::SameReader; });
  if (rows.empty()) {
    std::fprintf(stderr, "quillmere: %s; nothing asked\n",
                 qPrintable(Reader ? QStringLiteral("no row of readers names %1").arg(Reader->Text()) : QStringLiteral("readers has no row")));
    return TExitStatus::Usage;
  }
  std::vector<TAsked> asked;
  {
    TTransaction transaction(connection.Native());
    for (const TReaderEntry& row : rows) asked.push_back({{row.Address, row.Port}, AskCollect(connection.Db(), row.Address, row.Port)});
    transaction.Commit();
  }
  QEventLoop loop;
  bool stopped = false;
  const TStopSignals stopSignals([&] {
    stopped = true;
    loop.quit();
  });
  QElapsedTimer waited;
  waited.start();
  QTimer looks;
  QObject::connect(&looks, &QTimer::timeout, &loop, [&] {
    if (!watching.Held()) {
      EndAll(asked, QStringLiteral("the watch stopped before the pass ended"));
    } else {
      try {
        Look(connection.Db(), asked, waited.elapsed() >= Waits.TakeMs);
      } catch (const EDatabaseBusy&) {
        // another program's hold: looked at again next time
      } catch (const EDatabaseError& Error) {
        EndAll(asked, QStringLiteral("logs.mdb cannot be read: ") + QString::fromLocal8Bit(Error.what()));
      }
      if (waited.elapsed() >= Waits.PassesMs) EndAll(asked, QStringLiteral("not ended within %1 s; the pass goes on").arg(Waits.PassesMs / 1000));
    }
    if (std::all_of(asked.begin(), asked.end(), [](const TAsked& A) { return A.Over; })) loop.quit();
  });
  looks.start(Waits.LookEveryMs);
  loop.exec();
  if (stopped) EndAll(asked, QStringLiteral("no longer waited for; the pass goes on"));
  const bool done = std::all_of(asked.begin(), asked.end(), [](const TAsked& A) { return A.Done; });
  return done ? TExitStatus::Ok : TExitStatus::CollectUnfinished;
}

}  // namespace

int CollectNow(const QString& DatabasePath, const std::optional<TReaderAddress>& Reader, const TCollectWaits& Waits) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnwritable, [&] {
    RequireDatabaseFile(DatabasePath, TAccessNeed::ReadWrite);
    if (!RunLockHeld(DatabasePath) || !WatchHolding(DatabasePath)) {
      std::fprintf(stderr, "quillmere: no watch holds %s to ask for a pass; a plain quillmere collects now\n", qPrintable(DatabasePath));
      return TExitStatus::NoWatch;
    }
    return AskAndWait(DatabasePath, Reader, Waits);
  });
}
