#include "PgConnection.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "HostLookup.h"
#include "Journal.h"

namespace {

using std::chrono::milliseconds;

const char* const UnparsableUrl =
    "the URL of --forward (or QUILLMERE_FORWARD) does not parse; it is not repeated here, as it may hold a password";
const char* const NotServerUrl =
    "the URL of --forward (or QUILLMERE_FORWARD) must begin with postgresql:// or postgres://; it is not repeated here, as it "
    "may hold a password";

bool IsServerUrl(const QString& Url) {
  return Url.startsWith(QLatin1String("postgresql://")) || Url.startsWith(QLatin1String("postgres://"));
}

// libpq's refusal names a parameter it does not know (a typo such as "sslmod") by its name,
// which is no secret; anything else in its message may quote the URL.
QString UnparsableUrlText(const char* LibpqError) {
  static const QRegularExpression UnknownParameter(
      QStringLiteral("^invalid (URI query parameter|connection option): \"([A-Za-z_]{1,63})\""));
  const QRegularExpressionMatch unknown = UnknownParameter.match(QString::fromUtf8(LibpqError != nullptr ? LibpqError : ""));
  if (!unknown.hasMatch()) return QString::fromLatin1(UnparsableUrl);
  return QStringLiteral("the URL of --forward (or QUILLMERE_FORWARD) does not parse: libpq knows no parameter %1; the URL is "
                        "not repeated here, as it may hold a password")
      .arg(unknown.captured(2));
}

// An unencoded "/" or "@" in a password moves its pieces into the host, the port or the
// database name. A host is a name, an address or a socket's folder, never anything with "@".
bool LooksMisparsed(const QByteArray& Host, const QByteArray& Port, const QByteArray& Database) {
  static const QRegularExpression Ports(QStringLiteral("^[0-9,]*$"));
  static const QRegularExpression Hosts(QStringLiteral("^(/[^,@]*|[A-Za-z0-9._:%-]*)(,(/[^,@]*|[A-Za-z0-9._:%-]*))*$"));
  return !Hosts.match(QString::fromUtf8(Host)).hasMatch() || !Ports.match(QString::fromLatin1(Port)).hasMatch() ||
         Database.contains('@') || Database.contains('/');
}

// Whether the peer sent anything: a relay that takes the connection and closes it has not.
bool BytesWaiting(int Socket) {
  char byte = 0;
  return Socket >= 0 && ::recv(Socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Each address of a hostaddr list is numeric; libpq finds out only while connecting, as if
// the server were not there.
bool NumericAddresses(const QByteArray& List) {
  for (const QByteArray& address : List.split(',')) {
    in6_addr parsed{};
    if (!address.isEmpty() && ::inet_pton(AF_INET, address.constData(), &parsed) != 1 &&
        ::inet_pton(AF_INET6, address.constData(), &parsed) != 1) {
      return false;
    }
  }
  return true;
}

// libpq's message on one line, without the LOCATION line its verbose form adds; the lines of
// one attempt after another stay apart.
QString Cleaned(const char* Message) {
  QStringList lines = QString::fromUtf8(Message).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  lines.removeIf([](const QString& Line) { return Line.startsWith(QLatin1String("LOCATION:")); });
  for (QString& line : lines) line = line.simplified();
  lines.removeAll(QString());
  return lines.join(QStringLiteral("; "));
}

// The verbose form of a refusal at login carries the server's SQLSTATE after the severity.
const QRegularExpression& SqlStateInMessage() {
  static const QRegularExpression Pattern(QStringLiteral(":  ([0-9A-Z]{5}): "));
  return Pattern;
}

// libpq refuses an option's value (sslmode, keepalives, target_session_attrs, service) before it
// tries a server, or once it has picked one: no later attempt changes that. Said without the
// value, which may be a piece of a password split off at an unencoded '&'. Empty when Message
// is no such refusal: a name it cannot resolve yet may pass.
QString OptionRefusal(const QString& Message) {
  static const QRegularExpression Refusal(QStringLiteral(
      "(^|failed: )(invalid |definition of service|service file|syntax error in service file|could not match)"));
  static const QRegularExpression QuotedValue(QStringLiteral("value:? \"[^\"]*\""));
  if (!Refusal.match(Message).hasMatch()) return {};
  return QString(Message).replace(QuotedValue, QStringLiteral("value"));
}

// libpq says it ignores a password file others may read (or that is no file) on standard error,
// bare, before a notice processor can be set: said here with a priority instead, and libpq given
// a path that is not there, which it passes over without a word, as it ignores the file anyway.
void PassOverUnsafePasswordFile(TServerAddress& Address) {
  if (!Address.Option("password").isEmpty() || !qgetenv("PGPASSWORD").isEmpty()) return;
  QByteArray path = Address.Option("passfile");
  if (path.isEmpty()) path = qgetenv("PGPASSFILE");
  if (path.isEmpty()) {
    const passwd* user = ::getpwuid(::geteuid());
    if (user == nullptr || user->pw_dir == nullptr) return;
    path = QByteArray(user->pw_dir) + "/.pgpass";
  }
  struct stat file {};
  if (::stat(path.constData(), &file) != 0 || (S_ISREG(file.st_mode) && (file.st_mode & (S_IRWXG | S_IRWXO)) == 0)) return;
  JournalLine(TPriority::Warning, QStringLiteral("the password file %1 is not used: %2")
                                      .arg(QString::fromLocal8Bit(path),
                                           S_ISREG(file.st_mode) ? QStringLiteral("others may read it (chmod 600 it)")
                                                                 : QStringLiteral("it is no plain file")));
  Address.Set("passfile", path + "/\x01");
}

}  // namespace

TServerAddress::TServerAddress(const QString& Url) {
  // Without the scheme, libpq would read the text as "key=value" pairs.
  if (!IsServerUrl(Url)) throw EServerError(TServerFailure::NeedsPerson, QString::fromLatin1(NotServerUrl));
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(Url.toUtf8().constData(), &error);
  const QString refusal = options == nullptr ? UnparsableUrlText(error) : QString();
  PQfreemem(error);
  if (options == nullptr) throw EServerError(TServerFailure::NeedsPerson, refusal);
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val != nullptr) Pairs.append(std::pair<QByteArray, QByteArray>(option->keyword, option->val));
  }
  PQconninfoFree(options);
  if (LooksMisparsed(Option("host"), Option("port"), Option("dbname"))) {
    Pairs.clear();
    throw EServerError(TServerFailure::NeedsPerson, QString::fromLatin1(UnparsableUrl));
  }
}

QByteArray TServerAddress::Option(const char* Keyword) const {
  for (const auto& [keyword, value] : Pairs) {
    if (keyword == Keyword) return value;
  }
  return {};
}

void TServerAddress::Set(const char* Keyword, const QByteArray& Value) {
  for (auto& [keyword, value] : Pairs) {
    if (keyword == Keyword) {
      value = Value;
      return;
    }
  }
  Pairs.append(std::pair<QByteArray, QByteArray>(Keyword, Value));
}

QString TServerAddress::Target() const {
  QByteArray host = Option("host");
  if (host.isEmpty()) host = Option("hostaddr");
  const QByteArray port = Option("port");
  const QByteArray database = Option("dbname");
  return QStringLiteral("%1:%2/%3")
      .arg(host.isEmpty() ? QStringLiteral("localhost") : QString::fromUtf8(host),
           port.isEmpty() ? QStringLiteral("5432") : QString::fromUtf8(port),
           QString::fromUtf8(database.isEmpty() ? Option("user") : database));
}

TPgConnection::TPgConnection(const TServerAddress& Address, milliseconds ConnectTimeout, milliseconds CallTimeout, int StopFd)
    : CallLimit(CallTimeout), Stop(StopFd), Target(Address.Target()), Password(Address.Option("password")) {
  if (!NumericAddresses(Address.Option("hostaddr"))) {
    Fail(TServerFailure::NeedsPerson, QStringLiteral("the hostaddr of --forward holds something that is no numeric address"));
  }
  TServerAddress address = Address;
  // Ours first, the URL's own after: the server takes the last setting. Our deadlines hold either way.
  // Its notices ("already exists, skipping") are no news to anyone; its warnings are.
  const QByteArray options = "-c statement_timeout=" + QByteArray::number(CallTimeout.count()) +
                             " -c client_min_messages=warning " + Address.Option("options");
  address.Set("options", options.trimmed());
  const std::pair<const char*, QByteArray> defaults[] = {{"keepalives_idle", "5"},
                                                         {"keepalives_interval", "2"},
                                                         {"keepalives_count", "3"},
                                                         {"tcp_user_timeout", "10000"},
                                                         {"application_name", "quillmere"}};
  for (const auto& [keyword, value] : defaults) {
    if (Address.Option(keyword).isEmpty()) address.Set(keyword, value);
  }
  // logs.mdb holds UTF-8, whatever the URL, PGCLIENTENCODING or the server's database say.
  address.Set("client_encoding", "UTF8");
  PassOverUnsafePasswordFile(address);
  const TDeadline deadline = After(ConnectTimeout);
  PinAddresses(address, deadline);
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (const auto& [keyword, value] : address.Options()) {
    keywords.push_back(keyword.constData());
    values.push_back(value.constData());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  Connection.reset(PQconnectStartParams(keywords.data(), values.data(), 0));
  if (!Connection) Fail(TServerFailure::Outage, QStringLiteral("out of memory"));
  PQsetNoticeProcessor(Connection.get(), &TPgConnection::Notice, this);
  PQsetErrorVerbosity(Connection.get(), PQERRORS_VERBOSE);
  AwaitConnection(deadline);
  PQsetErrorVerbosity(Connection.get(), PQERRORS_DEFAULT);
  if (PQsetnonblocking(Connection.get(), 1) != 0) FailOnLink();
}

TPgConnection::~TPgConnection() = default;

TPgConnection::TDeadline TPgConnection::After(milliseconds Allowed) {
  return {std::chrono::steady_clock::now() + Allowed, Allowed};
}

// libpq looks a host name up inside its connect, where no deadline or stop of ours reaches: the
// name is looked up here, and libpq given its addresses beside it (the name still serves TLS
// and the password file). A list of hosts is left to libpq.
void TPgConnection::PinAddresses(TServerAddress& Address, TDeadline Deadline) const {
  if (!Address.Option("hostaddr").isEmpty()) return;
  QByteArray host = Address.Option("host");
  if (host.isEmpty()) host = qgetenv("PGHOST");
  if (host.isEmpty() || host.contains(',') || host.startsWith('/') || host.startsWith('@') || NumericAddresses(host)) return;
  const QList<QByteArray> addresses = LookUpHost(host, Deadline.At, Stop);
  Address.Set("host", QList<QByteArray>(addresses.size(), host).join(','));
  Address.Set("hostaddr", addresses.join(','));
}

void TPgConnection::AwaitConnection(TDeadline Deadline) {
  PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
  for (;;) {
    if (PQstatus(Connection.get()) == CONNECTION_BAD || polling == PGRES_POLLING_FAILED) FailToConnect();
    if (polling == PGRES_POLLING_OK) return;
    const short ready = AwaitSocket(polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, Deadline);
    if ((ready & POLLIN) != 0 && BytesWaiting(PQsocket(Connection.get()))) ServerAnswered = true;
    polling = PQconnectPoll(Connection.get());
  }
}

// A refusal the server gave (its SQLSTATE), a password it asked for and nobody gave, or a
// refusal on our side after the server answered (SSL it cannot offer, a certificate) needs a
// person; a server we never reached is an outage.
void TPgConnection::FailToConnect() {
  const char* message = PQerrorMessage(Connection.get());
  const QRegularExpressionMatch code = SqlStateInMessage().match(QString::fromUtf8(message));
  QString text = Cleaned(message);
  const QString refusedOption = OptionRefusal(text);
  if (!refusedOption.isEmpty()) Fail(TServerFailure::NeedsPerson, refusedOption);
  if (code.hasMatch()) {
    text.remove(code.captured(1) + QStringLiteral(": "));
    Fail(FailureOfSqlState(code.captured(1)), text, code.captured(1));
  }
  const bool needsPassword = PQconnectionNeedsPassword(Connection.get()) != 0;
  if (needsPassword) {
    text += QStringLiteral(" (no line of the password file, PGPASSFILE or else ~/.pgpass of the user running this, matched "
                           "the URL's host, port, database and user, and PGPASSWORD is not set)");
  }
  Fail(ServerAnswered || needsPassword ? TServerFailure::NeedsPerson : TServerFailure::Outage, text);
}

// An idle link hears nothing we asked for: anything there is the server's last word (a FATAL
// before it closed) or, rarely, a notice, which costs a new link and nothing else.
bool TPgConnection::StillOpen() {
  pollfd socket{PQsocket(Connection.get()), POLLIN, 0};
  return socket.fd >= 0 && PQstatus(Connection.get()) == CONNECTION_OK && ::poll(&socket, 1, 0) == 0;
}

bool TPgConnection::IntegerTimes() const {
  const char* setting = PQparameterStatus(Connection.get(), "integer_datetimes");
  return setting != nullptr && std::strcmp(setting, "on") == 0;
}

void TPgConnection::Exec(const QString& Sql, const QStringList& Params) {
  Call(Sql, Params, PGRES_COMMAND_OK, After(CallLimit));
}

QStringList TPgConnection::Column(const QString& Sql, const QStringList& Params) {
  const TResult result = Call(Sql, Params, PGRES_TUPLES_OK, After(CallLimit));
  QStringList values;
  for (int row = 0; row < PQntuples(result.get()); ++row) values << QString::fromUtf8(PQgetvalue(result.get(), row, 0));
  return values;
}

qint64 TPgConnection::Copy(const QString& Sql, const QByteArray& Data) {
  StartCopy(Sql);
  PutCopy(Data.constData(), Data.size());
  return FinishCopy();
}

// Two statements go only by the simple protocol: the text is ours, with no parameter in it.
void TPgConnection::StartCopy(const QString& Sql, bool BeginFirst) {
  if (!BeginFirst) {
    Call(Sql, {}, PGRES_COPY_IN, After(CallLimit));
    return;
  }
  const TDeadline deadline = After(CallLimit);
  if (PQsendQuery(Connection.get(), (QStringLiteral("BEGIN; ") + Sql).toUtf8().constData()) != 1) FailOnLink();
  Flush(deadline);
  Check(NextResult(deadline), PGRES_COMMAND_OK);
  Check(NextResult(deadline), PGRES_COPY_IN);
}

// Each chunk has its own deadline: a slow link may take longer over a whole batch. Waits only
// while the socket is full, so that libpq holds no more than a chunk however far the server lags.
void TPgConnection::PutCopy(const char* Data, qsizetype Bytes) {
  for (qsizetype at = 0; at < Bytes; at += CopyChunkBytes) {
    PutCopyData(Data + at, static_cast<int>(std::min(CopyChunkBytes, Bytes - at)));
    Flush(After(CallLimit));
  }
}

qint64 TPgConnection::FinishCopy() {
  EndCopy(After(CallLimit));
  TResult result = NextResult(After(CallLimit));
  while (NextResult(After(CallLimit))) {
  }
  Check(result, PGRES_COMMAND_OK);
  return QByteArray(PQcmdTuples(result.get())).toLongLong();
}

TPgConnection::TResult TPgConnection::Call(const QString& Sql, const QStringList& Params, ExecStatusType Expected,
                                           TDeadline Deadline) {
  Send(Sql, Params);
  Flush(Deadline);
  TResult result = NextResult(Deadline);
  if (!result || PQresultStatus(result.get()) != PGRES_COPY_IN) {
    while (NextResult(Deadline)) {
    }
  }
  Check(result, Expected);
  return result;
}

void TPgConnection::Send(const QString& Sql, const QStringList& Params) {
  std::vector<QByteArray> texts;
  std::vector<const char*> values;
  texts.reserve(static_cast<std::size_t>(Params.size()));
  for (const QString& param : Params) {
    texts.push_back(param.isNull() ? QByteArray() : param.toUtf8());
    values.push_back(param.isNull() ? nullptr : texts.back().constData());
  }
  if (PQsendQueryParams(Connection.get(), Sql.toUtf8().constData(), static_cast<int>(values.size()), nullptr, values.data(),
                        nullptr, nullptr, 0) != 1) {
    FailOnLink();
  }
}

void TPgConnection::PutCopyData(const char* Data, int Bytes) {
  const TDeadline deadline = After(CallLimit);
  for (;;) {
    const int queued = PQputCopyData(Connection.get(), Data, Bytes);
    if (queued < 0) FailOnLink();
    if (queued == 1) return;
    Flush(deadline);
  }
}

void TPgConnection::EndCopy(TDeadline Deadline) {
  for (;;) {
    const int queued = PQputCopyEnd(Connection.get(), nullptr);
    if (queued < 0) FailOnLink();
    Flush(Deadline);
    if (queued == 1) return;
  }
}

void TPgConnection::Flush(TDeadline Deadline) {
  for (;;) {
    const int left = PQflush(Connection.get());
    if (left == 0) return;
    if (left < 0) FailOnLink();
    if ((AwaitSocket(POLLIN | POLLOUT, Deadline) & POLLIN) != 0 && PQconsumeInput(Connection.get()) == 0) FailOnLink();
  }
}

TPgConnection::TResult TPgConnection::NextResult(TDeadline Deadline) {
  while (PQisBusy(Connection.get()) != 0) {
    AwaitSocket(POLLIN, Deadline);
    if (PQconsumeInput(Connection.get()) == 0) FailOnLink();
  }
  return TResult(PQgetResult(Connection.get()), &PQclear);
}

short TPgConnection::AwaitSocket(short Events, TDeadline Deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(Deadline.At - std::chrono::steady_clock::now()).count();
    if (left <= 0) GiveUp(Deadline);
    pollfd fds[2] = {{PQsocket(Connection.get()), Events, 0}, {Stop, POLLIN, 0}};
    if (fds[0].fd < 0) FailOnLink();
    const int ready = ::poll(fds, Stop >= 0 ? 2 : 1, static_cast<int>(left));
    if (ready > 0 && fds[1].revents != 0) {
      // Mid-exchange: the link cannot serve another call.
      Connection.reset();
      Fail(TServerFailure::Stopped, QStringLiteral("stopped while waiting for the server"));
    }
    if (ready > 0) return fds[0].revents;
    if (ready < 0 && errno != EINTR) Fail(TServerFailure::Outage, QString::fromLocal8Bit(std::strerror(errno)));
  }
}

void TPgConnection::Check(const TResult& Result, ExecStatusType Expected) {
  if (Result && PQresultStatus(Result.get()) == Expected) return;
  if (!Result) FailOnLink();
  const QString sqlState = QString::fromLatin1(PQresultErrorField(Result.get(), PG_DIAG_SQLSTATE));
  const char* primary = PQresultErrorField(Result.get(), PG_DIAG_MESSAGE_PRIMARY);
  const QString message = Cleaned(primary != nullptr ? primary : PQresultErrorMessage(Result.get()));
  // Without an SQLSTATE the failure is libpq's own: the link.
  Fail(sqlState.isEmpty() ? TServerFailure::Outage : FailureOfSqlState(sqlState), message, sqlState,
       QString::fromUtf8(PQresultErrorField(Result.get(), PG_DIAG_CONSTRAINT_NAME)));
}

void TPgConnection::FailOnLink() {
  Fail(TServerFailure::Outage, Connection ? Cleaned(PQerrorMessage(Connection.get())) : QStringLiteral("no connection"));
}

// No cancel request: libpq's PQcancel connects and waits for the server's answer without any
// deadline, so a frozen server or relay would hold it for ever. Closing the link is enough;
// a statement that was merely slow still ends at the server's statement_timeout.
void TPgConnection::GiveUp(TDeadline Deadline) {
  Connection.reset();
  Fail(TServerFailure::Outage, QStringLiteral("the server did not answer within %1 ms; given up").arg(Deadline.Allowed.count()));
}

// From the first exchange on: a server may warn at every login (a collation version mismatch),
// and libpq's default would put that on standard error without a priority.
void TPgConnection::Notice(void* Self, const char* Message) {
  const auto* connection = static_cast<const TPgConnection*>(Self);
  QString text = Cleaned(Message);
  if (!connection->Password.isEmpty()) text.replace(QString::fromUtf8(connection->Password), QStringLiteral("(password)"));
  JournalLine(text.startsWith(QLatin1String("WARNING")) ? TPriority::Warning : TPriority::Info,
              QStringLiteral("the server %1 says: %2").arg(connection->Target, text));
}

void TPgConnection::Fail(TServerFailure Failure, const QString& Message, const QString& SqlState, const QString& Constraint) {
  throw EServerError(Failure, Message.isEmpty() ? QStringLiteral("the server failed without a reason") : Message, SqlState,
                     Constraint);
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
