#include "Journal.h"

#include <QtGlobal>

#include <cstdio>

namespace {

TPriority PriorityOf(QtMsgType Type) {
  switch (Type) {
    case QtDebugMsg: return TPriority::Debug;
    case QtInfoMsg: return TPriority::Info;
    case QtWarningMsg: return TPriority::Warning;
    case QtCriticalMsg:
    case QtFatalMsg: break;
  }
  return TPriority::Error;
}

}  // namespace

void JournalLine(TPriority Priority, const QString& Text) {
  QString line = Text.simplified();  // a line break inside would start a line without a priority
  // One write per line: stdio locks the stream for the call, so concurrent lines never mix.
  std::fprintf(stderr, "<%d>%s\n", static_cast<int>(Priority), line.toLocal8Bit().constData());
}

void SendQtMessagesToJournal() {
  qInstallMessageHandler(
      [](QtMsgType Type, const QMessageLogContext&, const QString& Text) { JournalLine(PriorityOf(Type), Text); });
}
