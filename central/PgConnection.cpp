#include "PgConnection.h"

#include <vector>

namespace {

QString OneLine(const char* Message) {
  return QString::fromUtf8(Message).simplified();
}

}  // namespace

TPgConnection::TPgConnection(const QString& Url, int ConnectTimeoutSeconds, int StatementTimeoutMs) {
  const QByteArray url = Url.toUtf8();
  const QByteArray connectTimeout = QByteArray::number(ConnectTimeoutSeconds);
  const QByteArray options = "-c statement_timeout=" + QByteArray::number(StatementTimeoutMs);
  // Defaults first: what the URL says itself wins.
  const char* const keywords[] = {"connect_timeout", "options", "tcp_user_timeout", "keepalives_idle",
                                  "keepalives_interval", "keepalives_count", "application_name", "dbname", nullptr};
  const char* const values[] = {connectTimeout.constData(), options.constData(), "10000", "5", "2", "3", "quillmere",
                                url.constData(), nullptr};
  Connection = PQconnectdbParams(keywords, values, 1);
  if (!Connected()) {
    NoteError();
    return;
  }
  // The server's notices ("already exists, skipping") are no news to anyone.
  PQsetNoticeProcessor(Connection, [](void*, const char*) {}, nullptr);
}

TPgConnection::~TPgConnection() {
  PQfinish(Connection);
}

bool TPgConnection::Connected() const {
  return Connection != nullptr && PQstatus(Connection) == CONNECTION_OK;
}

// The server's own refusals come as FATAL; a refused socket or a time-out does not.
bool TPgConnection::Refused() const {
  return !Connected() && LastError.contains(QLatin1String("FATAL"));
}

QString TPgConnection::Target() const {
  if (Connection == nullptr) return QStringLiteral("the server");
  const QString host = QString::fromUtf8(PQhost(Connection));
  return QStringLiteral("%1:%2/%3").arg(host.isEmpty() ? QStringLiteral("localhost") : host,
                                        QString::fromUtf8(PQport(Connection)), QString::fromUtf8(PQdb(Connection)));
}

void TPgConnection::NoteError() {
  LastError = Connection != nullptr ? OneLine(PQerrorMessage(Connection)) : QStringLiteral("out of memory");
  LastErrorCode.clear();
}

void TPgConnection::NoteResultError(const PGresult* Result) {
  if (Result == nullptr) {
    NoteError();
    return;
  }
  LastError = OneLine(PQresultErrorMessage(Result));
  LastErrorCode = QString::fromLatin1(PQresultErrorField(Result, PG_DIAG_SQLSTATE));
}

TPgConnection::TResult TPgConnection::Run(const QString& Sql, const QStringList& Params, ExecStatusType Expected) {
  std::vector<QByteArray> texts;
  std::vector<const char*> values;
  texts.reserve(static_cast<std::size_t>(Params.size()));
  for (const QString& param : Params) {
    texts.push_back(param.isNull() ? QByteArray() : param.toUtf8());
    values.push_back(param.isNull() ? nullptr : texts.back().constData());
  }
  TResult result(PQexecParams(Connection, Sql.toUtf8().constData(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0),
                 &PQclear);
  if (!result || PQresultStatus(result.get()) != Expected) {
    NoteResultError(result.get());
    return TResult(nullptr, &PQclear);
  }
  return result;
}

bool TPgConnection::Exec(const QString& Sql, const QStringList& Params) {
  return Run(Sql, Params, PGRES_COMMAND_OK) != nullptr;
}

bool TPgConnection::Column(const QString& Sql, const QStringList& Params, QStringList& Values) {
  const TResult result = Run(Sql, Params, PGRES_TUPLES_OK);
  if (!result) return false;
  Values.clear();
  for (int row = 0; row < PQntuples(result.get()); ++row) Values << QString::fromUtf8(PQgetvalue(result.get(), row, 0));
  return true;
}

bool TPgConnection::Copy(const QString& Sql, const QByteArray& Rows) {
  if (!Run(Sql, {}, PGRES_COPY_IN)) return false;
  if (PQputCopyData(Connection, Rows.constData(), static_cast<int>(Rows.size())) != 1 || PQputCopyEnd(Connection, nullptr) != 1) {
    NoteError();
    return false;
  }
  const TResult result(PQgetResult(Connection), &PQclear);
  const bool copied = result && PQresultStatus(result.get()) == PGRES_COMMAND_OK;
  if (!copied) NoteResultError(result.get());
  while (PGresult* rest = PQgetResult(Connection)) PQclear(rest);
  return copied;
}

void AppendCopyField(QByteArray& Row, const char* Utf8, int Length, bool Last) {
  if (Utf8 == nullptr) {
    Row += "\\N";
  } else {
    for (int i = 0; i < Length; ++i) {
      switch (const char c = Utf8[i]) {
        case '\\': Row += "\\\\"; break;
        case '\t': Row += "\\t"; break;
        case '\n': Row += "\\n"; break;
        case '\r': Row += "\\r"; break;
        default: Row += c;
      }
    }
  }
  Row += Last ? '\n' : '\t';
}
