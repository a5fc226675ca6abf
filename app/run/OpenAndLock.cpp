#include "OpenAndLock.h"

#include "AccessRefusal.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "WatchState.h"

TExitStatus StatusOf(TOpenFailure Failure) {
  switch (Failure) {
    case TOpenFailure::Missing: return TExitStatus::DatabaseMissing;
    case TOpenFailure::Unwritable: return TExitStatus::DatabaseUnwritable;
    case TOpenFailure::Unusable: return TExitStatus::DatabaseUnusable;
    case TOpenFailure::Linked: return TExitStatus::DatabaseLinked;
  }
  return TExitStatus::DatabaseUnusable;
}

namespace {

// With a display, a person who started the program learns why nothing happened.
TRefusal RefuseDatabase(const QString& File, const EDatabaseOpenError& Error) {
  const QString text = QStringLiteral("%1: %2; no reader contacted").arg(File, QString::fromLocal8Bit(Error.what()));
  JournalLine(TPriority::Error, text);
  return {StatusOf(Error.Kind), text};
}

}  // namespace

QString HolderText(const QString& File) {
  const std::optional<TWatchProcess> watch = WatchHolding(File);
  if (!watch) return QStringLiteral("another run");
  return QStringLiteral("the watch running since %1 (process %2)").arg(watch->Started).arg(watch->Pid);
}

// Two runs on one logs.mdb would interleave on a reader and race on the duplicate test. The lock
// comes before the open, and the caller keeps it past the close: letting it go drops the
// process's locks on the file, SQLite's included.
std::optional<TRefusal> OpenAndLock(TLogDatabase& Db, const QString& File, std::optional<TRunLock>& Lock) {
  Lock.emplace(File);
  if (!Lock->Held() && Lock->Failure().isEmpty()) {
    JournalLine(TPriority::Warning, QStringLiteral("%1 holds %2; no reader contacted").arg(HolderText(File), File));
    return TRefusal{TExitStatus::Ok, {}};
  }
  try {
    Db.OpenDatabase(File);
  } catch (const EDatabaseOpenError& Error) {
    return RefuseDatabase(File, Error);
  }
  if (Lock->Held()) return std::nullopt;
  const QString refusal = AccessRefusal(File, TAccessNeed::Read);
  const QString why = refusal.isEmpty() ? QStringLiteral("cannot be locked: ") + Lock->Failure() : refusal;
  JournalLine(TPriority::Error, QStringLiteral("%1: %2; no reader contacted").arg(File, why));
  return TRefusal{TExitStatus::DatabaseUnwritable, {}};
}
