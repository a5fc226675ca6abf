#pragma once

#include <QString>

#include <sys/types.h>

enum class TAccessNeed { Read, ReadWrite };

// What to tell a user the system refused Path to (EACCES): the nearest folder, or the file,
// this user may not use, and the group whose members may, when its mode lets them. Empty when
// this user may in fact use Path, so the caller says what the system said.
QString AccessRefusal(const QString& Path, TAccessNeed Need);

// The group's name, or its number when it has none.
QString GroupName(gid_t Gid);
