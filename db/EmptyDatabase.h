#pragma once

#include <QString>

enum class TCreation { Created, AlreadyThere };

// Creates logs.mdb at Path with the tables of schema.sql and nothing in them, readable and
// writable by its owner and its folder's group only, whatever the umask, so that members of the
// group and the service that runs as one of them can both use it. A file already at Path is
// left alone. Raises EDatabaseError when it cannot be made; nothing half-made stays behind.
TCreation CreateEmptyDatabase(const QString& Path);
