#pragma once

#include <QString>

// Whether File is the database at DatabasePath, under any name, or one of the files SQLite
// keeps beside it: writing there would pull the file from under every connection.
bool IsDatabaseOrBeside(const QString& DatabasePath, const QString& File);
