#include "BinaryCopy.h"

#include <QString>
#include <QtEndian>

#include "DateTime.h"

namespace {

template <typename TInt>
void AppendField(QByteArray& Row, TInt Value) {
  char bytes[4 + sizeof(TInt)];
  qToBigEndian<qint32>(static_cast<qint32>(sizeof(TInt)), bytes);
  qToBigEndian<TInt>(Value, bytes + 4);
  Row.append(bytes, sizeof bytes);
}

// Digits at Text[From] to Text[From + Count - 1], or -1.
int Number(const char* Text, int From, int Count) {
  int value = 0;
  for (int i = From; i < From + Count; ++i) {
    if (Text[i] < '0' || Text[i] > '9') return -1;
    value = value * 10 + (Text[i] - '0');
  }
  return value;
}

}  // namespace

const QByteArray& BinaryCopyHeader() {
  // Signature, flags, length of the header extension.
  static const QByteArray Header("PGCOPY\n\xff\r\n\0\0\0\0\0\0\0\0\0", 19);
  return Header;
}

const QByteArray& BinaryCopyTrailer() {
  static const QByteArray Trailer("\xff\xff", 2);
  return Trailer;
}

QString BinaryCopyOf(const QString& CopySql) {
  return CopySql + QStringLiteral(" WITH (FORMAT binary)");
}

void AppendFieldCount(QByteArray& Row, qint16 Fields) {
  char bytes[2];
  qToBigEndian<qint16>(Fields, bytes);
  Row.append(bytes, sizeof bytes);
}

void AppendNull(QByteArray& Row) {
  Row.append("\xff\xff\xff\xff", 4);
}

void AppendInt32(QByteArray& Row, qint32 Value) {
  AppendField(Row, Value);
}

void AppendInt16(QByteArray& Row, qint16 Value) {
  AppendField(Row, Value);
}

void AppendInt64(QByteArray& Row, qint64 Value) {
  AppendField(Row, Value);
}

void AppendBytes(QByteArray& Row, const char* Data, int Length) {
  char bytes[4];
  qToBigEndian<qint32>(Length, bytes);
  Row.append(bytes, sizeof bytes);
  Row.append(Data, Length);
}

std::optional<qint64> TimestampMicroseconds(const char* Text, int Length) {
  if (Text == nullptr || Length != 19 || Text[4] != '-' || Text[7] != '-' || Text[10] != ' ' || Text[13] != ':' ||
      Text[16] != ':') {
    return std::nullopt;
  }
  const TDateTimeParts parts{Number(Text, 0, 4), Number(Text, 5, 2), Number(Text, 8, 2), 0, 0, 0, 0};
  const int hour = Number(Text, 11, 2);
  const int minute = Number(Text, 14, 2);
  const int second = Number(Text, 17, 2);
  TDateTime day = 0;
  static const TDateTime Epoch = [] {
    TDateTime epoch = 0;
    TryEncodeDateTime({2000, 1, 1, 0, 0, 0, 0}, epoch);
    return epoch;
  }();
  if (!TryEncodeDateTime(parts, day) || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  const qint64 days = static_cast<qint64>(day - Epoch);
  return (days * 86400 + hour * 3600 + minute * 60 + second) * 1000000;
}
