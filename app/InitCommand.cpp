#include "InitCommand.h"

#include <cstdio>
#include <exception>

#include "EmptyDatabase.h"
#include "ExitStatus.h"

int InitDatabase(const QString& DatabasePath) {
  const QByteArray path = DatabasePath.toLocal8Bit();
  try {
    if (CreateEmptyDatabase(DatabasePath) == TCreation::AlreadyThere) {
      std::fprintf(stderr, "quillmere: %s is already there; left as it is\n", path.constData());
      return ExitCode(TExitStatus::DatabaseExists);
    }
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "quillmere: cannot create %s: %s\n", path.constData(), Error.what());
    return ExitCode(TExitStatus::DatabaseUnwritable);
  }
  std::printf("quillmere: created %s with empty tables readers and records\n", path.constData());
  return ExitCode(TExitStatus::Ok);
}
