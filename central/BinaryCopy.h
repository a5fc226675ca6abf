#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// COPY's binary format, for rows whose every value it can carry exactly: the server then parses
// no text, which is most of its work on a row of timestamps and numbers.
const QByteArray& BinaryCopyHeader();
const QByteArray& BinaryCopyTrailer();
QString BinaryCopyOf(const QString& CopySql);

void AppendFieldCount(QByteArray& Row, qint16 Fields);
void AppendNull(QByteArray& Row);
void AppendInt32(QByteArray& Row, qint32 Value);
void AppendInt16(QByteArray& Row, qint16 Value);
void AppendInt64(QByteArray& Row, qint64 Value);
// Bytes in the connection's encoding, as text; the server checks them as it would in text.
void AppendBytes(QByteArray& Row, const char* Data, int Length);

// "YYYY-MM-DD HH:MM:SS" as the microseconds since 2000-01-01 of a timestamp without time zone;
// nothing for any other text, or a date or time that does not exist: the server's own parsing
// decides those.
std::optional<qint64> TimestampMicroseconds(const char* Text, int Length);
