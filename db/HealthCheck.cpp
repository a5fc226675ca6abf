#include "HealthCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "Clock.h"
#include "Errors.h"
#include "LogConnection.h"
#include "LogDatabase.h"
#include "ReadersTable.h"
#include "RunLock.h"
#include "SqlExec.h"
#include "VisitOutcome.h"

namespace {

// Well inside a monitor's own time-out (10 s for the usual agents), so it reads UNKNOWN, not a
// socket that timed out, while another program holds the file.
constexpr int CheckBusyTimeoutMs = 5000;

const QString ConnectionName = QStringLiteral("health-check");
const QString CannotOpen = QStringLiteral("14");  // SQLITE_CANTOPEN
constexpr int ImmutableReadTries = 3;
const QString LineDownText = OutcomeText(TVisitOutcome::LineDown);
const QString RunningText = OutcomeText(TVisitOutcome::Running);

// The last visit of one reader, its last done one, the failures since and the records added in
// the window, found by the text of its row's address and port as a run notes them. Bound in
// order: the outcomes that are no failure, the window's start, the address, the port, and done's
// text. Any other text in the column, one no run of ours wrote, is a failure.
QString VisitsOfReader(qsizetype NonFailures) {
  QStringList marks(NonFailures, QStringLiteral("?"));
  return QStringLiteral(
             "SELECT last.started, last.outcome, done.ended, "
             "(SELECT COUNT(*) FROM visits f WHERE f.ipaddr = r.a AND f.ipport = r.p AND f.id > COALESCE(done.id, 0) "
             "AND f.outcome NOT IN (%1)), "
             "(SELECT COALESCE(SUM(w.added), 0) FROM visits w WHERE w.ipaddr = r.a AND w.ipport = r.p AND w.started >= ?) "
             "FROM (SELECT ? AS a, ? AS p) r "
             "LEFT JOIN visits last ON last.id = "
             "(SELECT l.id FROM visits l WHERE l.ipaddr = r.a AND l.ipport = r.p ORDER BY l.id DESC LIMIT 1) "
             "LEFT JOIN visits done ON done.id = "
             "(SELECT d.id FROM visits d WHERE d.ipaddr = r.a AND d.ipport = r.p AND d.outcome = ? ORDER BY d.id DESC LIMIT 1)")
      .arg(marks.join(QStringLiteral(", ")));
}

// The one place a failed step becomes an exception; a step that stops early on a damaged page
// fails too, so a half-read table is never reported as the whole.
void Require(const QSqlQuery& Query, bool Ok) {
  const QSqlError error = Query.lastError();
  if (Ok && error.type() == QSqlError::NoError) return;
  if (error.nativeErrorCode() == CannotOpen) throw EDatabaseOpenError(TOpenFailure::Unwritable, error.text());
  RaiseDatabaseError(error.nativeErrorCode().toInt(), error.text().toStdString());
}

QSqlQuery Run(const QSqlDatabase& Db, const QString& Sql, const QVariantList& Values = {}) {
  QSqlQuery query(Db);
  query.setForwardOnly(true);
  Require(query, query.prepare(Sql));
  for (const QVariant& value : Values) query.addBindValue(value);
  Require(query, query.exec());
  return query;
}

bool HasTable(const QSqlDatabase& Db, const QString& Name) {
  QSqlQuery query =
      Run(Db, QStringLiteral("SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND lower(name) = ?"), {Name});
  const bool found = query.next();
  Require(query, true);
  return found;
}

// One statement for every reader of the check.
class TVisitFigures {
 public:
  TVisitFigures(const QSqlDatabase& Db, int WindowHours)
      : Query(Db), Cutoff(RecTimeText(Now() - WindowHours / 24.0)), NonFailures(NonFailureTexts()) {
    Query.setForwardOnly(true);
    Require(Query, Query.prepare(VisitsOfReader(NonFailures.size())));
  }

  void Read(TReaderHealth& Reader) {
    QVariantList values(NonFailures.begin(), NonFailures.end());
    values << Cutoff << Reader.Address << Reader.Port << OutcomeText(TVisitOutcome::Done);
    for (qsizetype i = 0; i < values.size(); ++i) Query.bindValue(static_cast<int>(i), values[i]);
    Require(Query, Query.exec());
    if (Query.next()) {
      Reader.LastStarted = Query.value(0).toString();
      Reader.LastOutcome = Query.value(1).toString();
      Reader.LastDone = Query.value(2).toString();
      Reader.FailuresSince = Query.value(3).toInt();
      Reader.AddedInWindow = Query.value(4).toInt();
    }
    Require(Query, true);
    Query.finish();
    // A watched reader whose line is down has it as its last visit, until its next pass.
    Reader.Healthy = !Reader.LastDone.isEmpty() && Reader.LastDone >= Cutoff && Reader.LastOutcome != LineDownText;
  }

 private:
  QSqlQuery Query;
  QString Cutoff;
  QStringList NonFailures;
};

// Rows as a run judges them, without a name server: a check stays quick and contacts nothing.
void ReadReaders(const QSqlDatabase& Db, int WindowHours, THealth& Health) {
  std::optional<TVisitFigures> visits;
  if (Health.Journal) visits.emplace(Db, WindowHours);
  for (const TReaderEntry& entry : JudgeReaders(ReadReaderRecords(Db), TNameLookup::None)) {
    if (!entry.Usable()) {
      Health.Unusable << TUnusableRow{entry.Number, entry.Text(), entry.Reason};
      continue;
    }
    TReaderHealth reader;
    reader.Address = entry.Address;
    reader.Port = entry.Port;
    if (visits) visits->Read(reader);
    Health.Readers << reader;
  }
}

// Reads only the columns it needs: the forwarder may keep more.
TForwardHealth ReadForwarding(const QSqlDatabase& Db) {
  QSqlQuery query =
      Run(Db, QStringLiteral("SELECT target, last_attempt, last_error FROM forwarding ORDER BY last_attempt DESC LIMIT 1"));
  TForwardHealth forward;
  if (query.next()) forward = {query.value(0).toString(), query.value(1).toString(), query.value(2).toString()};
  Require(query, true);
  return forward;
}

// Rows set aside wait for a person however well the forwards since went: a watch forwards
// every second, and its next forward would hide them at once.
int CountSetAside(const QSqlDatabase& Db, int WindowHours) {
  QSqlQuery query = Run(Db, QStringLiteral("SELECT COUNT(*) FROM forwarding_rejected WHERE noted >= ?"),
                        {RecTimeText(Now() - WindowHours / 24.0)});
  const int count = query.next() ? query.value(0).toInt() : 0;
  Require(query, true);
  return count;
}

THealth ReadAll(const QSqlDatabase& Db, int WindowHours) {
  THealth health;
  health.Journal = HasTable(Db, QStringLiteral("visits"));
  ReadReaders(Db, WindowHours, health);
  if (HasTable(Db, QStringLiteral("forwarding"))) health.Forward = ReadForwarding(Db);
  if (HasTable(Db, QStringLiteral("forwarding_rejected"))) health.Forward.SetAsideInWindow = CountSetAside(Db, WindowHours);
  return health;
}

THealth ReadThrough(const QString& DatabasePath, TFileUse Use, int WindowHours) {
  const TLogConnection connection(ConnectionName, DatabasePath, Use, CheckBusyTimeoutMs);
  return ReadAll(connection.Db(), WindowHours);
}

// What tells a change of the file apart: a run that started meanwhile creates the -wal, and a
// checkpoint rewrites the file itself.
struct TFileState {
  ino_t Inode = 0;
  off_t Size = 0;
  std::int64_t ModifiedNs = 0;
  bool WalHoldsChanges = false;
  bool operator==(const TFileState&) const = default;
};

TFileState StateOf(const QString& DatabasePath) {
  struct stat file {};
  struct stat wal {};
  if (::stat(QFile::encodeName(DatabasePath).constData(), &file) != 0) return {};
  const bool walThere = ::stat(QFile::encodeName(DatabasePath + QStringLiteral("-wal")).constData(), &wal) == 0;
  return {file.st_ino, file.st_size, file.st_mtim.tv_sec * 1000000000LL + file.st_mtim.tv_nsec, walThere && wal.st_size > 0};
}

enum class TWalChanges { Needed, MayBeMissed };

// Read as unchanging, and read again if it changed meanwhile; nullopt when a -wal holds changes
// the file lacks, which only a read through the -shm sees, unless they may be missed.
std::optional<THealth> ReadUnchanging(const QString& DatabasePath, int WindowHours, TWalChanges Changes = TWalChanges::Needed) {
  for (int attempt = 0; attempt < ImmutableReadTries; ++attempt) {
    const TFileState before = StateOf(DatabasePath);
    if (before.WalHoldsChanges && Changes == TWalChanges::Needed) return std::nullopt;
    const THealth health = ReadThrough(DatabasePath, TFileUse::ReadUnchanging, WindowHours);
    if (StateOf(DatabasePath) == before) return health;
  }
  throw EDatabaseError("the file kept changing while it was read");
}

// Only a live run or watch holds the lock; one that was killed left its visit running.
void MarkVisitsUnderWay(const QString& DatabasePath, THealth& Health) {
  const bool held = RunLockHeld(DatabasePath);
  for (TReaderHealth& reader : Health.Readers) {
    if (reader.LastOutcome != RunningText) continue;
    reader.UnderWay = held;
    reader.Healthy = reader.Healthy && held;
  }
}

// A run makes the -wal and -shm for its own user and group: a monitor outside them cannot read
// through them at all, and SQLite would only say it cannot open the file.
QStringList UnreadableBeside(const QString& DatabasePath) {
  QStringList unreadable;
  for (const QString& path : {DatabasePath + QStringLiteral("-wal"), DatabasePath + QStringLiteral("-shm")}) {
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK, AT_EACCESS) != 0 && errno == EACCES) unreadable << path;
  }
  return unreadable;
}

THealth ReadAny(const QString& DatabasePath, int WindowHours) {
  if (const QStringList unreadable = UnreadableBeside(DatabasePath); !unreadable.isEmpty()) {
    THealth health = *ReadUnchanging(DatabasePath, WindowHours, TWalChanges::MayBeMissed);
    health.Unreadable = unreadable;
    return health;
  }
  // A -shm that is not there would be created by reading through it, for this user: a check is
  // never the one to make it. Without one, everything committed is in the file itself.
  const bool shared = QFile::exists(DatabasePath + QStringLiteral("-shm"));
  if (!shared) {
    if (const std::optional<THealth> health = ReadUnchanging(DatabasePath, WindowHours)) return *health;
  }
  try {
    return ReadThrough(DatabasePath, TFileUse::ReadOnly, WindowHours);
  } catch (const EDatabaseOpenError& Error) {
    if (!shared || Error.Kind != TOpenFailure::Unwritable) throw;
    if (const std::optional<THealth> health = ReadUnchanging(DatabasePath, WindowHours)) return *health;
    throw;
  }
}

}  // namespace

THealth ReadHealth(const QString& DatabasePath, int WindowHours) {
  // Through a symbolic link, the -wal and -shm are those beside the file itself; a path that
  // leads nowhere goes to the door as it is, to be refused there.
  QString real = QFileInfo(DatabasePath).canonicalFilePath();
  if (real.isEmpty()) real = DatabasePath;
  THealth health = ReadAny(real, WindowHours);
  MarkVisitsUnderWay(real, health);
  return health;
}
