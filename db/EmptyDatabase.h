#pragma once

#include <QString>

#include <sys/types.h>

enum class TCreation { Created, AlreadyThere };

// Creates logs.mdb at Path with the tables of schema.sql and nothing in them, readable and
// writable by its owner and one group only, whatever the umask, so that members of the group
// and the service that runs as one of them can both use it: the group of its folder when that
// is set-group-ID, else SharedFolder's (the data folder; empty: Path's own folder) when this
// user may give it, else the creator's. Group, when given, receives the one chosen. A file
// already at Path is left alone. Raises EDatabaseError when it cannot be made; nothing
// half-made stays behind.
TCreation CreateEmptyDatabase(const QString& Path, const QString& SharedFolder = {}, gid_t* Group = nullptr);
