#pragma once

#include <QSqlRecord>
#include <QString>

// Reading the readers table's loosely typed cells; both raise EConvertError naming the column
// and the value (NULL, a missing column, or a value of the wrong kind).
QString ColumnText(const QSqlRecord& Row, const QString& Column);
bool ColumnBoolean(const QSqlRecord& Row, const QString& Column);
