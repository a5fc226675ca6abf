#include "ReaderVisit.h"

#include <QRegularExpression>

#include "Clock.h"
#include "Errors.h"
#include "ReaderPass.h"
#include "RunJournal.h"
#include "Sockets.h"
#include "ValueConversion.h"

namespace {

TVisit Ended(TVisit Visit, TVisitOutcome Outcome, const QString& Detail) {
  Visit.Outcome = Outcome;
  Visit.Detail = Detail;
  return Visit;
}

bool IsBadRow(const std::exception& Error) {
  return dynamic_cast<const EConvertError*>(&Error) != nullptr;
}

// A pass that failed to store leaves its reader locked and uncleared, as a run always has: the
// records stay on the reader, which holds still for the next run. A watch's reader is a door it
// serves for the watch's life, and a locked reader takes no card until the lock runs out: the
// watch unlocks it, and tries the pass again within the minute.
bool UnlocksAfterFailedStore(TVisitor By) {
  return By == TVisitor::Watch;
}

}  // namespace

QString RowAndColumn(const TVisit& Visit, const EConvertError& Error) {
  const auto* cell = dynamic_cast<const EColumnError*>(&Error);
  // The one value a visit converts beyond the row's own cells is the port.
  return QStringLiteral("readers row %1, column %2").arg(Visit.Row).arg(cell != nullptr ? cell->Column : QStringLiteral("ipport"));
}

TVisit FailedVisit(TVisit Visit, const std::exception& Error) {
  QString detail = QString::fromLocal8Bit(Error.what());
  if (!IsBadRow(Error)) return Ended(std::move(Visit), TVisitOutcome::StoreFailed, detail);
  detail += QStringLiteral(" (%1)").arg(RowAndColumn(Visit, dynamic_cast<const EConvertError&>(Error)));
  return Ended(std::move(Visit), TVisitOutcome::BadRow, detail);
}

// The box keeps the conversion's own text first.
std::exception_ptr RowStop(const TVisit& Visit, const EConvertError& Error) {
  return std::make_exception_ptr(EConvertError(QStringLiteral("%1\n\n%2: the run stopped there; the rows after it were not visited.")
                                                   .arg(QString::fromLocal8Bit(Error.what()), RowAndColumn(Visit, Error))
                                                   .toStdString()));
}

// The socket layer keeps only a port's low 16 bits: 65537 would reach another reader. A
// number too long for the socket layer is out of range too, not "no number".
QString PortRefusal(const QString& Port) {
  if (Port.isEmpty()) return QStringLiteral("the port is empty");
  static const QRegularExpression Digits(QStringLiteral("^-?[0-9]+$"));
  const bool written = Digits.match(Port).hasMatch();
  bool fits = false;
  const qlonglong port = written ? Port.toLongLong(&fits) : ResolvePort(Port.toUtf8());
  if ((written && !fits) || port < 1 || port > HighestPort) return QStringLiteral("port %1 is outside 1 to %2").arg(Port).arg(HighestPort);
  return {};
}

// Side by side: a name server that does not answer holds the start once, for the bound, not
// once per row.
std::vector<QString> ReaderKeys(const TLogDatabase& Db) {
  std::vector<std::pair<QByteArray, QByteArray>> peers;
  for (std::size_t row = 0; row < Db.ReaderCount(); ++row) {
    const TVisit visit = RowVisit(Db, row);
    peers.emplace_back(visit.Address.toUtf8(), visit.Port.toUtf8());
  }
  std::vector<QString> keys = PeerIdentities(peers, IdentityLookupMs);
  for (std::size_t row = 0; row < keys.size(); ++row) keys[row] = ReaderKey(keys[row], peers[row].first, peers[row].second);
  return keys;
}

TVisitEnd VisitReader(TReaderPass& Pass, TReader& Link, const TReaderRow& Row, const TVisit& Visit, qint64 JournalId, TVisitor By) {
  TVisitEnd end;
  try {
    if (const QString refusal = PortRefusal(Row.Port); !refusal.isEmpty()) return {Ended(Visit, TVisitOutcome::BadRow, refusal), {}};
    if (By == TVisitor::Run && !Pass.ConfigureReader(Row.Address, Row.Port)) {
      return {Ended(Visit, TVisitOutcome::Unreachable, Link.ConnectFailure()), {}};
    }
    Pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter}, JournalId);
    end.Visit = Pass.VisitOf(Visit);
  } catch (const EConvertError& Error) {
    end = {FailedVisit(Visit, Error), RowStop(Visit, Error)};
  } catch (const std::exception& Error) {
    end = {FailedVisit(Visit, Error), std::current_exception()};
  }
  if (end.Visit.Outcome == TVisitOutcome::StoreFailed && UnlocksAfterFailedStore(By)) (void)Link.Lock(false);
  end.Visit.Started = Visit.Started;
  end.Visit.Ended = Now();
  return end;
}
