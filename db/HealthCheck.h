#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>

// One readers row as the visit journal shows it.
struct TReaderHealth {
  QString Address;
  QString Port;
  QString LastStarted;   // empty: never visited
  QString LastOutcome;
  QString LastDone;      // when the last done visit ended; empty: never
  int FailuresSince = 0; // visits that failed since the last done one
  int AddedInWindow = 0;
  bool Healthy = false;  // a done visit ended within the window, and no watched line is down since
  bool UnderWay = false; // its last visit is running in a run or watch that still holds the lock
};

// Where forwarding stands, for the server tried last.
struct TForwardHealth {
  QString Target;       // host:port/dbname; empty: never tried
  QString LastAttempt;  // when that server was last tried
  QString LastError;    // empty: that attempt succeeded
  int SetAsideInWindow = 0;  // rows the server refused, noted in forwarding_rejected within the window
};

// A readers row no run visits, and why.
struct TUnusableRow {
  std::size_t Number = 0;  // from 1, in table order
  QString Reader;          // its address and port as the row holds them
  QString Reason;
};

struct THealth {
  bool Journal = false;  // false: no run has kept a visit journal in this file yet
  QList<TReaderHealth> Readers;  // the usable rows, one a reader
  QList<TUnusableRow> Unusable;
  TForwardHealth Forward;
  // The -wal or -shm this user may not read: the file was read as it stands, without the
  // commits they hold.
  QStringList Unreadable;
};

// Reads logs.mdb over the last WindowHours without writing or creating anything or taking a
// lock: while a run works, from a folder it may not write, and beside a -wal or -shm it may not
// read (then without their commits). Rows are judged as a run judges them, but names are not
// looked up: two names of one reader are two readers here. A visit left running by a run
// that no longer holds the lock (killed) makes its reader not healthy. Raises EDatabaseError
// when the file, its readers, its journal or its forwarding state cannot be read.
THealth ReadHealth(const QString& DatabasePath, int WindowHours);
