#pragma once

#include <QString>
#include <QTimer>

#include <functional>

class TLogDatabase;
class TWatchLines;

// What a watch tells the desk through logs.mdb, and what it takes from there: its own row and
// its lines' for the readers window of another start, and the passes group members ask for
// ("Collect now"). About once a second, in the watch's thread, through its own connection.
class TWatchDesk {
 public:
  using TWatched = std::function<bool(const QString& Reader)>;
  using TCollect = std::function<void(const QString& Reader)>;
  // Writes the watch's row; a file that does not take it now is said in one line, and the row
  // tried again at each look.
  TWatchDesk(const TLogDatabase& Db, TWatchLines& Lines, TWatched Watched, TCollect Collect);
  TWatchDesk(const TWatchDesk&) = delete;
  TWatchDesk& operator=(const TWatchDesk&) = delete;

  // The watch's rows go: no window shows a watch that is not there.
  void End();
  // True once the file failed to take a row for a reason other than another program's hold: a
  // full or failing disk, said in one <3> line.
  bool FileFailed() const { return Failed; }

 private:
  bool Begin();
  void Fail(const class EDatabaseError& Error);
  void Look();

  const TLogDatabase& Db;
  TWatchLines& Lines;
  TWatched Watched;
  TCollect Collect;
  QTimer Timer;
  bool Begun = false;
  bool BeginFailureSaid = false;
  bool Failed = false;
};
