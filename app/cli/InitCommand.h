#pragma once

#include <QString>

// quillmere --init: creates an empty logs.mdb at DatabasePath for the group of its folder or
// of SharedFolder (see CreateEmptyDatabase), says so, and returns the exit code: Ok,
// DatabaseExists (the file there is left alone) or DatabaseUnwritable.
int InitDatabase(const QString& DatabasePath, const QString& SharedFolder = {});
