#include "ValueConversion.h"

#include <QSqlField>
#include <QVariant>


namespace {

QVariant Cell(const QSqlRecord& Row, const QString& Column) {
  const int index = Row.indexOf(Column);
  if (index < 0) throw EColumnError("Column '" + Column.toStdString() + "' is missing from table readers", Column);
  return Row.value(index);
}

bool IsNumber(const QVariant& Value) {
  switch (Value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
      return true;
    default:
      return false;
  }
}

QString Describe(const QVariant& Value) {
  if (Value.isNull()) return QStringLiteral("NULL");
  if (Value.typeId() == QMetaType::QByteArray) return QStringLiteral("a binary value");
  return "'" + Value.toString() + "'";
}

[[noreturn]] void Unconvertible(const QVariant& Value, const QString& Column, const char* Kind) {
  throw EColumnError(QStringLiteral("Could not convert %1 in column '%2' to %3")
                         .arg(Describe(Value), Column, QLatin1String(Kind))
                         .toStdString(),
                     Column);
}

}  // namespace

QString ColumnText(const QSqlRecord& Row, const QString& Column) {
  const QVariant value = Cell(Row, Column);
  if (value.isNull() || value.typeId() == QMetaType::QByteArray) Unconvertible(value, Column, "text");
  if (value.typeId() == QMetaType::Double) return QString::number(value.toDouble(), 'g', 15);
  return value.toString();
}

bool ColumnBoolean(const QSqlRecord& Row, const QString& Column) {
  const QVariant value = Cell(Row, Column);
  if (value.isNull()) Unconvertible(value, Column, "a boolean");
  if (IsNumber(value)) return value.toDouble() != 0;
  if (value.typeId() == QMetaType::QString) {
    const QString text = value.toString().toLower();
    if (text == u"true" || text == u"yes" || text == u"1") return true;
    if (text == u"false" || text == u"no" || text == u"0") return false;
  }
  Unconvertible(value, Column, "a boolean");
}
