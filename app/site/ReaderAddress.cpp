#include "ReaderAddress.h"

#include <QRegularExpression>

#include <arpa/inet.h>

#include "Errors.h"
#include "Sockets.h"

namespace {

constexpr int MaxNameLength = 253;

// Labels of letters, digits and inner hyphens; a last label of digits alone would be an
// address that inet_addr reads its own way (10.1 is 10.0.0.1).
bool IsHostName(const QString& Name) {
  static const QRegularExpression Label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
  static const QRegularExpression Digits(QStringLiteral("^[0-9]+$"));
  const QStringList labels = Name.split('.');
  if (Name.size() > MaxNameLength || Digits.match(labels.back()).hasMatch()) return false;
  for (const QString& label : labels) {
    if (!Label.match(label).hasMatch()) return false;
  }
  return true;
}

// The connect reads such a part as octal (inet_addr: 010 is 8), where a person means ten.
bool HasLeadingZero(const QString& Address) {
  static const QRegularExpression LeadingZero(QStringLiteral("(^|\\.)0[0-9]"));
  return LeadingZero.match(Address).hasMatch();
}

// inet_pton takes neither 010 nor fewer than four parts.
bool IsAddress(const QString& Text) {
  in_addr parsed{};
  return inet_pton(AF_INET, Text.toLatin1().constData(), &parsed) == 1;
}

// The number as a readers row keeps it, or the service name that stands for one.
std::optional<QString> CheckedPort(const QString& Text) {
  static const QRegularExpression Digits(QStringLiteral("^[0-9]{1,5}$"));
  static const QRegularExpression Service(QStringLiteral("^[A-Za-z][A-Za-z0-9_-]*$"));
  if (Digits.match(Text).hasMatch()) {
    const int port = Text.toInt();
    if (port >= 1 && port <= HighestPort) return QString::number(port);
    return std::nullopt;
  }
  if (!Service.match(Text).hasMatch()) return std::nullopt;
  try {
    const int port = ResolvePort(Text.toLatin1());
    if (port >= 1 && port <= HighestPort) return Text;
  } catch (const EConvertError&) {
  }
  return std::nullopt;
}

}  // namespace

std::optional<TReaderAddress> ParseReaderAddress(const QString& Text, QString& Error) {
  const qsizetype colon = Text.lastIndexOf(':');
  if (colon < 0) {
    Error = QStringLiteral("'%1' is not ADDRESS:PORT").arg(Text);
    return std::nullopt;
  }
  const QString address = Text.left(colon);
  const QString port = Text.mid(colon + 1);
  const bool numeric = !address.isEmpty() && address.back().isDigit();
  if (numeric && HasLeadingZero(address)) {
    Error = QStringLiteral("'%1': leading zeros are refused, as a connect would read such a part as octal (010 as 8)").arg(address);
    return std::nullopt;
  }
  if (address.isEmpty() || !(numeric ? IsAddress(address) : IsHostName(address))) {
    Error = QStringLiteral("'%1' is no IPv4 address (four numbers 0 to 255) and no host name").arg(address);
    return std::nullopt;
  }
  const std::optional<QString> checkedPort = CheckedPort(port);
  if (!checkedPort) {
    Error = QStringLiteral("port '%1' is no number from 1 to %2 and no service name this machine knows").arg(port).arg(HighestPort);
    return std::nullopt;
  }
  return TReaderAddress{address, *checkedPort};
}

std::vector<bool> SameReaderAs(const TReaderAddress& Wanted, const std::vector<TReaderAddress>& Candidates) {
  std::vector<std::pair<QByteArray, QByteArray>> peers{{Wanted.Address.toUtf8(), Wanted.Port.toUtf8()}};
  for (const TReaderAddress& candidate : Candidates) peers.emplace_back(candidate.Address.toUtf8(), candidate.Port.toUtf8());
  const std::vector<QString> keys = ReaderKeys(peers);
  std::vector<bool> same;
  for (std::size_t i = 0; i < Candidates.size(); ++i) same.push_back(keys.at(i + 1) == keys.front());
  return same;
}
