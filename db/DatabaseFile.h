#pragma once

#include <QString>

#include "AccessRefusal.h"

// What stands between a path and SQLite's opening it as logs.mdb, judged before SQLite sees it,
// in one place for every way in: missing, not a plain file, a file under more than one name,
// one this user may not use. Raises EDatabaseOpenError with the reason a person can act on.
void RequireDatabaseFile(const QString& Path, TAccessNeed Need);
