#include "ReaderVisit.h"

#include <QRegularExpression>

#include "Errors.h"
#include "Reader.h"
#include "ReaderPass.h"

namespace {

constexpr int HighestPort = 65535;

TVisit Ended(TVisit Visit, TVisitOutcome Outcome, const QString& Detail) {
  Visit.Outcome = Outcome;
  Visit.Detail = Detail;
  return Visit;
}

}  // namespace

TVisit FailedVisit(TVisit Visit, const std::exception& Error) {
  const bool badRow = dynamic_cast<const EConvertError*>(&Error) != nullptr;
  return Ended(std::move(Visit), badRow ? TVisitOutcome::BadRow : TVisitOutcome::StoreFailed, QString::fromLocal8Bit(Error.what()));
}

TVisitEnd VisitReader(TReaderPass& Pass, TReader& Reader, const TReaderRow& Row, const TVisit& Visit, qint64 JournalId) {
  try {
    // The socket layer keeps only a port's low 16 bits: 65537 would reach another reader. A
    // number too long for the socket layer is out of range too, not "no number".
    static const QRegularExpression Digits(QStringLiteral("^-?[0-9]+$"));
    const bool written = Digits.match(Row.Port).hasMatch();
    bool fits = false;
    const qlonglong port = written ? Row.Port.toLongLong(&fits) : ResolvePort(Row.Port.toUtf8());
    if ((written && !fits) || port < 1 || port > HighestPort) {
      return {Ended(Visit, TVisitOutcome::BadRow, QStringLiteral("port %1 is outside 1 to %2").arg(Row.Port).arg(HighestPort)), {}};
    }
    Pass.ConfigureReader(Row.Address, Row.Port);
    if (!Reader.Enable) return {Ended(Visit, TVisitOutcome::Unreachable, ConnectFailureText(Reader.LastErrorCode())), {}};
    Pass.ReaderPass({Row.SetClock, Row.Download, Row.ClearAfter}, JournalId);
    return {Pass.VisitOf(Visit), {}};
  } catch (const std::exception& Error) {
    return {FailedVisit(Visit, Error), std::current_exception()};
  }
}
