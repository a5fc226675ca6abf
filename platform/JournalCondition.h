#pragma once

#include <QElapsedTimer>
#include <QString>

#include "Journal.h"

// A condition that repeats while it lasts (a full disk, a server refusing rows) said as one
// line when it starts, one when it ends, and between them at most a count a minute: a journal
// a site can read, however many events meet it. One thread's own.
class TJournalCondition {
 public:
  TJournalCondition(TPriority Priority, QString Subject);

  // Another occurrence: its line when the condition starts, else counted. What is the detail
  // (a reason) of this occurrence.
  void Occurred(const QString& What);
  // The condition has ended: its closing line, with the count, when it had started.
  void Ended(const QString& How);
  bool Lasting() const { return Active; }

  static constexpr qint64 RepeatMs = 60 * 1000;

 private:
  TPriority Priority;
  QString Subject;
  bool Active = false;
  int Count = 0;     // since it started
  int Unsaid = 0;    // since its last line
  QElapsedTimer LastLine;
};
