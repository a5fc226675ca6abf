#pragma once

#include <QByteArray>
#include <QString>

struct sqlite3;

// A forward of this process reading or sending a target's records now. A row re-stamped
// meanwhile may be on its way to that target as it was, though its mark is still behind the
// row: its correction is queued for such a target too, and for no target that is not being
// sent to (one used once and never again would gather corrections without end).
class TForwardInFlight {
 public:
  // Made before the forward reads anything: it waits for a write begun on Db's file before it
  // was noted (a re-stamp that may not have seen it) to commit, so that the read sees that one.
  // Raises EDatabaseError when the file cannot be written.
  TForwardInFlight(sqlite3* Db, QString Target);
  ~TForwardInFlight();
  TForwardInFlight(const TForwardInFlight&) = delete;
  TForwardInFlight& operator=(const TForwardInFlight&) = delete;

  // The targets being sent to, as a JSON array of texts.
  static QByteArray Targets();

 private:
  QString Target;
};
