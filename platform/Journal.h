#pragma once

#include <QString>

// Syslog priorities, as journald reads them from a line's "<N>" prefix.
enum class TPriority { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// One line on standard error for the system journal. Safe from any thread: lines never mix.
void JournalLine(TPriority Priority, const QString& Text);

// Sends Qt's own messages (a missing runtime folder, a platform without some window call)
// through JournalLine, so no line of a service's journal goes without a priority: <7> or <6>,
// and <3> only for a fatal one.
void SendQtMessagesToJournal();
