#include "EmptyDatabase.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "AccessRefusal.h"
#include "Errors.h"
#include "GroupFile.h"
#include "Schema.h"

namespace {

void WriteSchema(const QByteArray& Path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(Path.constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  if (opened != SQLITE_OK) throw EDatabaseError(raw != nullptr ? sqlite3_errmsg(raw) : "out of memory");
  const std::string script = std::string("BEGIN;\n") + LogDatabaseSchema + "\nCOMMIT;";
  char* error = nullptr;
  if (sqlite3_exec(db.get(), script.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : sqlite3_errmsg(db.get());
    sqlite3_free(error);
    throw EDatabaseError(reason);
  }
}

}  // namespace

TCreation CreateEmptyDatabase(const QString& Path, const QString& SharedFolder, gid_t* Group) {
  const QByteArray path = QFile::encodeName(Path);
  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, DatabaseFileMode);
  if (fd < 0) {
    if (errno == EEXIST) return TCreation::AlreadyThere;
    if (errno == EACCES) {
      if (const QString refusal = AccessRefusal(Path, TAccessNeed::ReadWrite); !refusal.isEmpty()) throw EDatabaseError(refusal.toStdString());
    }
    FailWithErrno("creating it");
  }
  TUnfinishedFile unfinished(path);
  {
    const TDescriptor file(fd);
    const gid_t group = GiveDatabaseGroup(file.Fd, QFileInfo(Path).absolutePath(), SharedFolder);
    if (Group != nullptr) *Group = group;
  }
  WriteSchema(path);
  unfinished.Finish();
  return TCreation::Created;
}
