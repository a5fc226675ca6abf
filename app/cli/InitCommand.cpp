#include "InitCommand.h"

#include <cstdio>
#include <exception>

#include "AccessRefusal.h"
#include "EmptyDatabase.h"
#include "ExitStatus.h"

int InitDatabase(const QString& DatabasePath, const QString& SharedFolder) {
  const QByteArray path = DatabasePath.toLocal8Bit();
  gid_t group = 0;
  try {
    if (CreateEmptyDatabase(DatabasePath, SharedFolder, &group) == TCreation::AlreadyThere) {
      std::fprintf(stderr, "quillmere: %s is already there; left as it is\n", path.constData());
      return ExitCode(TExitStatus::DatabaseExists);
    }
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "quillmere: cannot create %s: %s\n", path.constData(), Error.what());
    return ExitCode(TExitStatus::DatabaseUnwritable);
  }
  std::printf("quillmere: created %s with empty tables readers and records, for the group %s\n", path.constData(),
              GroupName(group).toLocal8Bit().constData());
  return ExitCode(TExitStatus::Ok);
}
