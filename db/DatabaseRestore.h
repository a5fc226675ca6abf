#pragma once

#include <QString>
#include <QStringList>

// What a back-up copy holds, for the person about to restore it.
struct TCopyContents {
  qint64 Records = 0;
  QString LastRecord;     // the latest RECTIME; empty: none
  qint64 Readers = 0;
  QString ForwardTarget;  // the server it forwarded to last; empty: none
};

// Reads the database at Copy without writing to it: it must pass integrity_check and hold
// the tables readers and records with every column a run reads. Raises EDatabaseError saying
// what is wrong.
TCopyContents CheckRestorable(const QString& Copy, int BusyTimeoutMs);

// The endings of the files SQLite keeps beside a database.
extern const char* const CompanionEndings[3];

// Puts a consistent copy of Copy in Database's place, as --init makes a file there (see
// GiveDatabaseGroup): written and synced under a temporary name beside it first. What is at
// Database, and its -wal, -shm and -journal, are renamed to Aside and Aside with those
// endings before the copy takes the name, so no file of the old database is ever beside the
// new one (SQLite would replay it into the new file); with Keep they stay there, else they go
// once the copy is in place. A failure leaves Database as it was. Returns the names set aside
// that are kept. Raises EDatabaseError. The caller keeps runs out meanwhile.
QStringList RestoreDatabase(const QString& Copy, const QString& Database, const QString& SharedFolder, const QString& Aside,
                            bool Keep, int BusyTimeoutMs);
