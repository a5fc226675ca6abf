#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The table collect_requests: anyone who may write logs.mdb asks the watch that holds it for a
// reader's pass now, a row per reader; the watch takes each row or refuses it, in the row.
// Every failed statement raises EDatabaseError.

// By the watch at its start, so that a group member never needs to create a table.
void CreateCollectRequests(const QSqlDatabase& Db);

// A pass of the readers row at Address and Port, asked now; returns the request's id.
qint64 AskCollect(const QSqlDatabase& Db, const QString& Address, const QString& Port);

struct TCollectAnswer {
  QString Taken;   // when the watch took or refused it; empty while it has not
  QString Answer;  // "taken", or why it was refused
  bool Accepted() const { return Answer == QStringLiteral("taken"); }
};
TCollectAnswer CollectAnswer(const QSqlDatabase& Db, qint64 Id);

// The watch's look, about once a second: every request not answered yet is taken when Watched
// knows its reader ("ADDRESS:PORT" as its readers row writes it), else refused; returns the
// readers taken, each once. Requests answered a day ago or more go.
QStringList TakeCollectRequests(const QSqlDatabase& Db, const std::function<bool(const QString&)>& Watched);
