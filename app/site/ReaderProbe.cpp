#include "ReaderProbe.h"

#include <QElapsedTimer>

#include <cstdio>
#include <exception>

#include "ExitStatus.h"
#include "Journal.h"
#include "Sockets.h"

namespace {

constexpr int MaxTries = 3;

// The socket layer's start and end around one probe, whatever ends it.
class TSocketsInUse {
 public:
  TSocketsInUse() { SocketsStartup(); }
  ~TSocketsInUse() { SocketsCleanup(); }
  TSocketsInUse(const TSocketsInUse&) = delete;
  TSocketsInUse& operator=(const TSocketsInUse&) = delete;
};

QString ConnectFailure(const TReader& Link) {
  return QStringLiteral("cannot connect: ") + Link.ConnectFailure();
}

}  // namespace

TProbe ProbeReader(const TReaderAddress& Reader, const TLinkTimings& Timings) {
  TProbe probe;
  QElapsedTimer elapsed;
  elapsed.start();
  TReader link(Timings);
  link.SetAddress(Reader.Address, Reader.Port);
  if (!link.Connect()) {
    probe.Failure = ConnectFailure(link);
  } else {
    for (probe.Tries = 1; probe.Tries <= MaxTries; ++probe.Tries) {
      if (const TReply<TCapacity> reply = link.ReadCapacity()) {
        probe.Capacity = *reply;
        break;
      }
      if (!link.Connect()) {
        probe.Failure = ConnectFailure(link);
        break;
      }
    }
    if (!probe.Capacity && probe.Failure.isEmpty()) {
      probe.Tries = MaxTries;
      probe.Failure = QStringLiteral("no reply to get capacity after %1 tries").arg(MaxTries);
    }
  }
  link.Disconnect();
  probe.ElapsedMs = elapsed.elapsed();
  return probe;
}

int TestReader(const TReaderAddress& Reader) {
  TProbe probe;
  try {
    const TSocketsInUse sockets;
    probe = ProbeReader(Reader);
  } catch (const std::exception& Error) {
    probe.Failure = QString::fromLocal8Bit(Error.what());
  }
  if (!probe.Capacity) {
    JournalLine(TPriority::Error,
                QStringLiteral("quillmere: %1: %2 (%3 ms)").arg(Reader.Text(), probe.Failure).arg(probe.ElapsedMs));
    return ExitCode(TExitStatus::ReaderUnanswered);
  }
  std::printf("quillmere: %s answered in %lld ms (try %d): it holds %u records; nothing on it was changed\n",
              Reader.Text().toLocal8Bit().constData(), static_cast<long long>(probe.ElapsedMs), probe.Tries,
              unsigned{probe.Capacity->RecordCount});
  return ExitCode(TExitStatus::Ok);
}
