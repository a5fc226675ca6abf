#include "DatabaseRestore.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "DatabaseCopy.h"
#include "DiskSync.h"
#include "Errors.h"
#include "GroupFile.h"
#include "NativeStatement.h"

const char* const CompanionEndings[3] = {"-wal", "-shm", "-journal"};

namespace {

QString TextOf(const TNativeStatement& Row, int Column) {
  return QString::fromUtf8(Row.Text(Column), Row.TextLength(Column));
}

// Preparing names every column, so a table made by hand without one fails here, not in a run.
void RequireColumns(sqlite3* Db, const char* Sql, const char* Table) {
  try {
    TNativeStatement(Db, Sql).Run();
  } catch (const EDatabaseError& Error) {
    throw EDatabaseError(std::string("no table ") + Table + " a run can use: " + Error.what());
  }
}

// The database, then its companions, under the other names; put back unless Finish, so a
// failure before the copy took the name leaves the database whole where it was.
class TSetAside {
 public:
  TSetAside(const QByteArray& Database, const QByteArray& Aside) : From(Database), To(Aside) {
    Move(QByteArray());
    for (const char* ending : CompanionEndings) Move(ending);
  }
  ~TSetAside() {
    if (Finished) return;
    for (const QByteArray& ending : Moved) {
      (void)::renameat2(AT_FDCWD, (To + ending).constData(), AT_FDCWD, (From + ending).constData(), RENAME_NOREPLACE);
    }
  }
  TSetAside(const TSetAside&) = delete;
  TSetAside& operator=(const TSetAside&) = delete;

  void Finish() { Finished = true; }
  QStringList Names() const {
    QStringList names;
    for (const QByteArray& ending : Moved) names << QFile::decodeName(To + ending);
    return names;
  }
  void Remove() const {
    for (const QByteArray& ending : Moved) ::unlink((To + ending).constData());
  }

 private:
  void Move(const QByteArray& Ending) {
    if (!EntryExists(From + Ending)) return;
    if (::renameat2(AT_FDCWD, (From + Ending).constData(), AT_FDCWD, (To + Ending).constData(), RENAME_NOREPLACE) != 0) {
      FailWithErrno(("setting " + From + Ending + " aside as " + To + Ending).constData());
    }
    Moved.push_back(Ending);
  }

  QByteArray From;
  QByteArray To;
  std::vector<QByteArray> Moved;
  bool Finished = false;
};

}  // namespace

TCopyContents CheckRestorable(const QString& Copy, int BusyTimeoutMs) {
  const TNativeConnection db = OpenNative(QFile::encodeName(Copy), SQLITE_OPEN_READONLY, BusyTimeoutMs);
  CheckIntegrity(db.get());
  RequireColumns(db.get(), "SELECT ipaddr, ipport, setclk, download, clrafter FROM readers LIMIT 0", "readers");
  RequireColumns(db.get(), "SELECT RECTIME, CARDNO, READER, MODE FROM records LIMIT 0", "records");
  TCopyContents contents;
  TNativeStatement records(db.get(), "SELECT COUNT(*), MAX(RECTIME) FROM records");
  if (records.Next()) contents = {records.Int64(0), TextOf(records, 1), 0, {}};
  TNativeStatement readers(db.get(), "SELECT COUNT(*) FROM readers");
  if (readers.Next()) contents.Readers = readers.Int64(0);
  if (HasTable(db.get(), "forwarding")) {
    TNativeStatement forward(db.get(), "SELECT target FROM forwarding ORDER BY last_attempt DESC LIMIT 1");
    if (forward.Next()) contents.ForwardTarget = TextOf(forward, 0);
  }
  return contents;
}

QStringList RestoreDatabase(const QString& Copy, const QString& Database, const QString& SharedFolder, const QString& Aside,
                            bool Keep, int BusyTimeoutMs) {
  const QString folder = QFileInfo(Database).absolutePath();
  const QByteArray database = QFile::encodeName(Database);
  TTemporaryCopy copy(Copy, folder, [&](int Fd) { GiveDatabaseGroup(Fd, folder, SharedFolder); }, BusyTimeoutMs);
  TSetAside aside(database, QFile::encodeName(Aside));
  if (!copy.MoveTo(database, false)) throw EDatabaseError(database.toStdString() + " was made meanwhile");
  aside.Finish();
  SyncFolder(folder);
  if (Keep) return aside.Names();
  aside.Remove();
  SyncFolder(folder);
  return {};
}
