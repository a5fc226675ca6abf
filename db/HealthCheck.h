#pragma once

#include <QList>
#include <QString>

// One readers row as the visit journal shows it.
struct TReaderHealth {
  QString Address;
  QString Port;
  QString LastStarted;   // empty: never visited
  QString LastOutcome;
  QString LastDone;      // when the last done visit ended; empty: never
  int FailuresSince = 0; // visits that failed since the last done one
  int AddedInWindow = 0;
  bool Healthy = false;  // a done visit ended within the window
};

// Reads logs.mdb (read-only, no lock taken, also while a run works) and reports every readers
// row over the last WindowHours. False, with Error set, when the file, the readers or the
// journal cannot be read.
bool ReadHealth(const QString& DatabasePath, int WindowHours, QList<TReaderHealth>& Readers, QString& Error);
