#include "Journal.h"

#include <cstdio>

void JournalLine(TPriority Priority, const QString& Text) {
  QString line = Text.simplified();  // a line break inside would start a line without a priority
  // One write per line: stdio locks the stream for the call, so concurrent lines never mix.
  std::fprintf(stderr, "<%d>%s\n", static_cast<int>(Priority), line.toLocal8Bit().constData());
}
