#pragma once

#include <QString>

#include <string>

class QSqlQuery;

// The one place an SQLite result code becomes an exception: EDatabaseBusy for a lock another
// connection holds, which passes, EDatabaseOpenError for a damaged file, wherever its damage
// shows, EDatabaseError for everything else.
[[noreturn]] void RaiseDatabaseError(int Code, const std::string& Message);

// The one way db/ runs a Qt query: a failure raises EDatabaseError with SQLite's reason.
void Exec(QSqlQuery& Query);                      // a prepared query, its values bound
void Exec(QSqlQuery& Query, const QString& Sql);  // a statement without values
