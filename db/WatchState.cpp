#include "WatchState.h"

#include <QSqlQuery>
#include <QVariant>

#include <signal.h>

#include <atomic>
#include <cerrno>

#include "Clock.h"
#include "Errors.h"
#include "FileLocks.h"
#include "LogConnection.h"
#include "LogDatabase.h"
#include "SqlExec.h"

namespace {

// A look by someone starting Quillmere: never long behind a writer's commit.
constexpr int HolderBusyTimeoutMs = 500;

const char* const CreateProcess = "CREATE TABLE IF NOT EXISTS watch_process (pid INTEGER NOT NULL, started TEXT NOT NULL)";
const char* const CreateLines =
    "CREATE TABLE IF NOT EXISTS watch_lines (ipaddr TEXT NOT NULL, ipport TEXT NOT NULL, line TEXT NOT NULL, "
    "since TEXT NOT NULL, step TEXT, steps INTEGER NOT NULL DEFAULT 0, maximum INTEGER NOT NULL DEFAULT 0, "
    "PRIMARY KEY (ipaddr, ipport))";

void Run(const QSqlDatabase& Db, const QString& Sql) {
  QSqlQuery query(Db);
  Exec(query, Sql);
}

// Commits only once every statement went through; rolled back otherwise.
class TCommit {
 public:
  explicit TCommit(const QSqlDatabase& ADb) : Db(ADb) { Run(Db, QStringLiteral("BEGIN IMMEDIATE")); }
  ~TCommit() {
    if (!Committed) QSqlQuery(Db).exec(QStringLiteral("ROLLBACK"));
  }
  TCommit(const TCommit&) = delete;
  TCommit& operator=(const TCommit&) = delete;
  void Commit() {
    Run(Db, QStringLiteral("COMMIT"));
    Committed = true;
  }

 private:
  QSqlDatabase Db;
  bool Committed = false;
};

// A process of another user answers EPERM: it lives all the same.
bool ProcessLives(qint64 Pid) {
  return Pid > 0 && (::kill(static_cast<pid_t>(Pid), 0) == 0 || errno == EPERM);
}

// A killed watch leaves its row, and its process id may be another's by now (after a reboot,
// soon): where the kernel names who holds the file, only that process is the watch.
bool HoldsFile(const QSqlDatabase& Db, qint64 Pid) {
  QSqlQuery file(Db);
  Exec(file, QStringLiteral("SELECT file FROM pragma_database_list WHERE name = 'main'"));
  if (!file.next()) return true;
  bool named = false;
  for (const TFileLock& lock : FileLocks(file.value(0).toString())) {
    if (lock.Kind != TFileLock::TKind::Whole || lock.Pid <= 0) continue;
    if (lock.Pid == Pid) return true;
    named = true;
  }
  return !named;
}

QString NewConnectionName() {
  static std::atomic<int> Counter{0};
  return QStringLiteral("holder-%1").arg(++Counter);
}

}  // namespace

QString LineText(TLineState::TLine Line) {
  switch (Line) {
    case TLineState::TLine::Up: return QStringLiteral("up");
    case TLineState::TLine::Down: return QStringLiteral("down");
    case TLineState::TLine::Connecting: break;
  }
  return QStringLiteral("connecting");
}

void BeginWatchState(const QSqlDatabase& Db, qint64 Pid) {
  TCommit commit(Db);
  Run(Db, QString::fromLatin1(CreateProcess));
  Run(Db, QString::fromLatin1(CreateLines));
  Run(Db, QStringLiteral("DELETE FROM watch_process"));
  Run(Db, QStringLiteral("DELETE FROM watch_lines"));
  QSqlQuery insert(Db);
  insert.prepare(QStringLiteral("INSERT INTO watch_process (pid, started) VALUES (?, ?)"));
  insert.addBindValue(Pid);
  insert.addBindValue(RecTimeText(Now()));
  Exec(insert);
  commit.Commit();
}

void WriteLineStates(const QSqlDatabase& Db, const std::vector<TLineState>& Changed, const std::vector<TLineState>& Gone) {
  TCommit commit(Db);
  QSqlQuery put(Db);
  put.prepare(QStringLiteral("INSERT OR REPLACE INTO watch_lines (ipaddr, ipport, line, since, step, steps, maximum) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?)"));
  for (const TLineState& state : Changed) {
    for (const QVariant& value : {QVariant(state.Address), QVariant(state.Port), QVariant(LineText(state.Line)),
                                  QVariant(RecTimeText(state.Since)), state.Step.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(state.Step),
                                  QVariant(state.Steps), QVariant(state.Maximum)}) {
      put.addBindValue(value);
    }
    Exec(put);
  }
  QSqlQuery drop(Db);
  drop.prepare(QStringLiteral("DELETE FROM watch_lines WHERE ipaddr = ? AND ipport = ?"));
  for (const TLineState& state : Gone) {
    drop.addBindValue(state.Address);
    drop.addBindValue(state.Port);
    Exec(drop);
  }
  commit.Commit();
}

void EndWatchState(const QSqlDatabase& Db) {
  TCommit commit(Db);
  Run(Db, QStringLiteral("DELETE FROM watch_lines"));
  Run(Db, QStringLiteral("DELETE FROM watch_process"));
  commit.Commit();
}

std::optional<TWatchProcess> LiveWatch(const QSqlDatabase& Db) {
  QSqlQuery table(Db);
  Exec(table, QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'watch_process'"));
  if (!table.next()) return std::nullopt;
  table.finish();
  QSqlQuery query(Db);
  Exec(query, QStringLiteral("SELECT pid, started FROM watch_process"));
  while (query.next()) {
    const TWatchProcess watch{query.value(0).toLongLong(), query.value(1).toString()};
    if (ProcessLives(watch.Pid) && HoldsFile(Db, watch.Pid)) return watch;
  }
  return std::nullopt;
}

std::optional<TWatchProcess> WatchHolding(const QString& DatabasePath) {
  try {
    const TLogConnection connection(NewConnectionName(), DatabasePath, TFileUse::ReadOnly, HolderBusyTimeoutMs);
    return LiveWatch(connection.Db());
  } catch (const EDatabaseError&) {
    // Who holds the file is only told: a file that cannot be read now names no watch.
    return std::nullopt;
  }
}
