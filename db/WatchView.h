#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>

#include "VisitJournal.h"
#include "WatchState.h"

// A readers row as the readers window shows whoever holds logs.mdb at work.
struct TReaderView {
  QString Address;
  QString Port;
  std::optional<TLineState> Line;  // none: no watch keeps a line to it
  std::optional<TVisit> Last;      // its last visit (a line's outage aside), running or ended
  QString LastTime;                // when that visit ended, or started while it runs
  int EventsToday = 0;             // records of its address stored for today
};

struct TWatchView {
  QList<TReaderView> Readers;  // in table order
  std::optional<TWatchProcess> Watch;
};

// Reads everything the window shows, in one read transaction; writes nothing. Raises
// EDatabaseError when the file cannot be read now.
TWatchView ReadWatchView(const QSqlDatabase& Db);
