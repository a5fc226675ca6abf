#pragma once

#include <QString>

struct sqlite3;

// Flushes what a connection wrote to logs.mdb and to its journal or write-ahead log, through
// SQLite's own descriptors: opening and closing one of our own would drop every POSIX lock the
// process holds on the file, SQLite's included. Raises EDatabaseError naming the file.
void SyncConnectionFiles(sqlite3* Db);

// Flushes a folder's entries (a journal made or removed) to the disk; raises EDatabaseError.
void SyncFolder(const QString& Path);

// Flushes a file that no connection of this process holds open (a finished copy); raises
// EDatabaseError. Never for logs.mdb or its companions while a connection lives.
void SyncClosedFile(const QString& Path);
