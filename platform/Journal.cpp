#include "Journal.h"

#include <QtGlobal>

#include <cstdio>

namespace {

// The program says what went wrong with a run itself; Qt's own complaints (a window call the
// platform lacks, a runtime folder a timer's session has none of) are not about the run and stay
// out of "journalctl -p warning". Only a fatal one, which ends the run, is the run's error.
TPriority PriorityOf(QtMsgType Type) {
  switch (Type) {
    case QtDebugMsg: return TPriority::Debug;
    case QtInfoMsg:
    case QtWarningMsg:
    case QtCriticalMsg: return TPriority::Info;
    case QtFatalMsg: break;
  }
  return TPriority::Error;
}

}  // namespace

void JournalLine(TPriority Priority, const QString& Text) {
  // A line break inside would start a line without a priority; a box's paragraphs stay apart.
  QString line = QString(Text).replace(QStringLiteral("\n\n"), QStringLiteral("; ")).simplified();
  // One write per line: stdio locks the stream for the call, so concurrent lines never mix.
  std::fprintf(stderr, "<%d>%s\n", static_cast<int>(Priority), line.toLocal8Bit().constData());
}

void SendQtMessagesToJournal() {
  qInstallMessageHandler(
      [](QtMsgType Type, const QMessageLogContext&, const QString& Text) { JournalLine(PriorityOf(Type), Text); });
}
