#pragma once

#include <QString>

class QSqlQuery;

// The one way db/ runs a Qt query: a failure raises EDatabaseError with SQLite's reason.
void Exec(QSqlQuery& Query);                      // a prepared query, its values bound
void Exec(QSqlQuery& Query, const QString& Sql);  // a statement without values
