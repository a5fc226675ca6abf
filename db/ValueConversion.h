#pragma once

#include <QSqlRecord>
#include <QString>

#include "Errors.h"

// A cell of the readers table that cannot be converted; the text is the conversion's own.
class EColumnError : public EConvertError {
 public:
  EColumnError(const std::string& Text, QString AColumn) : EConvertError(Text), Column(std::move(AColumn)) {}
  QString Column;
};

// Reading the readers table's loosely typed cells; both raise EColumnError naming the column
// and the value (NULL, a missing column, or a value of the wrong kind).
QString ColumnText(const QSqlRecord& Row, const QString& Column);
bool ColumnBoolean(const QSqlRecord& Row, const QString& Column);
