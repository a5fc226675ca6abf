#include "DownloadRun.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "DescriptorLimit.h"
#include "Errors.h"
#include "Forwarding.h"
#include "Journal.h"
#include "MessageBox.h"
#include "ParallelRun.h"
#include "Reader.h"
#include "ReaderPass.h"
#include "ReaderVisit.h"
#include "RunDisplay.h"
#include "RunJournal.h"
#include "StopSignals.h"

namespace {

// Should the question itself fail, the forward waits for the readers, as it could not harm them
// then; the run meets such a failure of logs.mdb on its own.
bool ForwardBesideTheReaders(const TLogDatabase& Db) {
  try {
    return Db.ReadersLeaveWritersFree();
  } catch (const EDatabaseError&) {
    return false;
  }
}

// A visit side by side costs its socket and its thread's wake-up.
constexpr std::uint64_t DescriptorsPerJob = 2;

std::uint64_t SideBySide(std::size_t Readers, int Jobs) {
  return Jobs > 1 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(Jobs), Readers) : 1;
}

}  // namespace

TDownloadRun::TDownloadRun(IRunDisplay& ADisplay, QString ADatabaseFile, TRunOptions AOptions)
    : Display(ADisplay), DatabaseFile(std::move(ADatabaseFile)), Options(std::move(AOptions)) {
  if (Options.ForwardUrl.isEmpty()) return;
  // The start delay is then the forward's: a first forward of a year of records needs no reader.
  // What the start raises is the run's, to end it once its window is up.
  try {
    Refused = OpenAndLock(Db, DatabaseFile, Lock);
    if (!Refused) Forwarding = std::make_unique<TRunForwarding>(Db.DatabasePath(), Options, ForwardBesideTheReaders(Db));
  } catch (...) {
    StartFailure = std::current_exception();
  }
}

TDownloadRun::~TDownloadRun() = default;

TExitStatus TDownloadRun::Run() {
  if (StartFailure) std::rethrow_exception(StartFailure);
  if (Options.ForwardUrl.isEmpty()) Refused = OpenAndLock(Db, DatabaseFile, Lock);
  if (Refused) {
    if (!Refused->Box.isEmpty() && MessagesAreInteractive()) ShowErrorMessage(Refused->Box);
    return Refused->Status;
  }
  const std::vector<TReaderEntry> readers = ReadReaders(Db);
  if (const QString shortfall = DescriptorShortfall(SideBySide(readers.size(), Options.Jobs), DescriptorsPerJob, 0, RaiseDescriptorLimit());
      !shortfall.isEmpty()) {
    JournalLine(TPriority::Error, shortfall);
    if (MessagesAreInteractive()) ShowErrorMessage(shortfall);
    return TExitStatus::DescriptorsShort;
  }
  const TExitStatus visited = VisitReaders(readers);
  if (visited != TExitStatus::Ok) return visited;
  return Forwarding ? ExitStatusOf(Forwarding->Finish()) : TExitStatus::Ok;
}

// A stopped run does not wait for its forward, whose wait ends as it goes.
TExitStatus TDownloadRun::VisitReaders(const std::vector<TReaderEntry>& Readers) {
  const TStopSignals stopSignals;
  const TStopToken stop([&stopSignals] { return stopSignals.Given(); },
                        QStringLiteral("the run was stopped by a signal; the rest stays on the reader"));
  TRunJournal journal(Db);
  if (Options.Jobs > 1) {
    TParallelRun(Db, Readers, journal, Display, Options.Jobs, stop).Run();
  } else {
    VisitOneByOne(Readers, journal, stop, stopSignals.Descriptor());
  }
  if (stop.Given()) journal.RunStopped();
  try {
    Db.Checkpoint();
  } catch (const EDatabaseError& Error) {
    JournalLine(TPriority::Error, QStringLiteral("%1: what was stored stays in its log, which cannot be moved into the file: %2")
                                      .arg(Db.DatabasePath(), QString::fromLocal8Bit(Error.what())));
    return TExitStatus::StoreFailed;
  }
  if (journal.FileFailed()) return TExitStatus::StoreFailed;
  return stop.Given() ? TExitStatus::Stopped : TExitStatus::Ok;
}

// An error the run stops at leaves Run once the visit's row and line say so: an unreadable row
// stops it there, a port out of range is that row's alone, and a second row of one reader is
// visited again, after the first.
void TDownloadRun::VisitOneByOne(const std::vector<TReaderEntry>& Readers, TRunJournal& Journal, const TStopToken& Stop, int StopFd) {
  TReader link;
  link.StopWaitsWhen([&Stop] { return Stop.Given(); });
  link.AbandonConnectOn(StopFd);
  TPassObserver& observer = Display.SerialPass();
  TReaderPass pass(link, Db, observer, Stop);
  for (const TReaderEntry& entry : Readers) {
    if (Stop.Given()) break;
    const TVisit visit = EntryVisit(entry);
    const qint64 id = Journal.VisitStarted(visit);
    if (entry.Values) observer.Reaching(entry.Values->Address);
    TVisitEnd end;
    if (entry.Verdict == TRowVerdict::Unreadable) {
      end = {RefusedVisit(entry), RowStop(entry)};
    } else if (entry.Verdict == TRowVerdict::PortOutOfRange) {
      end = {RefusedVisit(entry), {}};
    } else {
      end = VisitReader(pass, link, *entry.Values, visit, id);
    }
    Journal.VisitEnded(id, end.Visit);
    if (end.Stop) std::rethrow_exception(end.Stop);
  }
}
