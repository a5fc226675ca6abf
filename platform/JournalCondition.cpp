#include "JournalCondition.h"

#include <utility>

TJournalCondition::TJournalCondition(TPriority APriority, QString ASubject) : Priority(APriority), Subject(std::move(ASubject)) {}

void TJournalCondition::Occurred(const QString& What) {
  ++Count;
  if (!Active) {
    Active = true;
    JournalLine(Priority, QStringLiteral("%1: %2").arg(Subject, What));
    LastLine.start();
    return;
  }
  ++Unsaid;
  if (LastLine.elapsed() < RepeatMs) return;
  JournalLine(Priority, QStringLiteral("%1: %2 more since the last line (%3)").arg(Subject).arg(Unsaid).arg(What));
  Unsaid = 0;
  LastLine.start();
}

void TJournalCondition::Ended(const QString& How) {
  if (!Active) return;
  JournalLine(TPriority::Info, QStringLiteral("%1: %2, after %3 in all").arg(Subject, How).arg(Count));
  Active = false;
  Count = 0;
  Unsaid = 0;
}
