#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

#include <algorithm>
#include <vector>

bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs) {
  QDeadlineTimer deadline(TimeoutMs);
  while (!Condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

namespace {

// Runs Action on a connection of its own to the file, closed again afterwards.
template <typename TAction>
void WithConnection(const QString& Path, TAction Action) {
  const QString name = QStringLiteral("test-") + QString::number(reinterpret_cast<quintptr>(&Path));
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(Path);
    ASSERT_TRUE(db.open());
    Action(db);
    db.close();
  }
  QSqlDatabase::removeDatabase(name);
}

}  // namespace

TLogFolder::TLogFolder() {
  QFile schema(QStringLiteral(SCHEMA_SQL));
  EXPECT_TRUE(schema.open(QIODevice::ReadOnly));
  for (const QString& statement : QString::fromUtf8(schema.readAll()).split(';')) {
    QString sql;
    for (const QString& line : statement.split('\n')) {
      if (!line.trimmed().startsWith(QStringLiteral("--"))) sql += line + '\n';
    }
    if (!sql.trimmed().isEmpty()) Execute(sql);
  }
}

void TLogFolder::Execute(const QString& Sql) const {
  WithConnection(DatabasePath(), [&](QSqlDatabase& db) {
    QSqlQuery query(db);
    EXPECT_TRUE(query.exec(Sql)) << Sql.toStdString() << ": " << query.lastError().text().toStdString();
  });
}

QStringList TLogFolder::Query(const QString& Sql) const {
  QStringList rows;
  WithConnection(DatabasePath(), [&](QSqlDatabase& db) {
    QSqlQuery query(db);
    EXPECT_TRUE(query.exec(Sql)) << Sql.toStdString() << ": " << query.lastError().text().toStdString();
    while (query.next()) {
      QStringList columns;
      for (int i = 0; i < query.record().count(); ++i) columns << query.value(i).toString();
      rows << columns.join('|');
    }
  });
  return rows;
}

void TLogFolder::AddReader(const QString& Address, const QString& Port, bool SetClock, bool Download,
                           bool ClearAfter) const {
  Execute(QStringLiteral("INSERT INTO readers VALUES ('%1', '%2', %3, %4, %5)")
              .arg(Address, Port)
              .arg(int{SetClock})
              .arg(int{Download})
              .arg(int{ClearAfter}));
}

// Bound but never listening, and kept so until the process ends: a connect is refused, and no
// other test running at the same time can be handed the port.
QString TLogFolder::SecondName(const QString& Name) const {
  const QString link = Dir.filePath(Name);
  EXPECT_EQ(::link(QFile::encodeName(DatabasePath()).constData(), QFile::encodeName(link).constData()), 0);
  return link;
}

int ClosedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  return ntohs(address.sin_port);
}

namespace {

struct TTcpSocket {
  int LocalPort = 0;
  int RemotePort = 0;
  int State = 0;     // the kernel's: 2 a SYN sent, 10 listening
  int Received = 0;  // of a listener, the connections in its accept queue
};

std::vector<TTcpSocket> TcpSockets() {
  QFile table(QStringLiteral("/proc/net/tcp"));
  EXPECT_TRUE(table.open(QIODevice::ReadOnly));
  std::vector<TTcpSocket> sockets;
  const QList<QByteArray> lines = table.readAll().split('\n');
  for (const QByteArray& line : lines.mid(1)) {
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 5) continue;
    sockets.push_back({fields[1].split(':').value(1).toInt(nullptr, 16), fields[2].split(':').value(1).toInt(nullptr, 16),
                       fields[3].toInt(nullptr, 16), fields[4].split(':').value(1).toInt(nullptr, 16)});
  }
  return sockets;
}

}  // namespace

int HandshakesUnderWay(int Port) {
  const std::vector<TTcpSocket> sockets = TcpSockets();
  return static_cast<int>(
      std::count_if(sockets.begin(), sockets.end(), [&](const TTcpSocket& Socket) { return Socket.State == 2 && Socket.RemotePort == Port; }));
}

int AcceptQueueLength(int Port) {
  for (const TTcpSocket& socket : TcpSockets()) {
    if (socket.State == 10 && socket.LocalPort == Port) return socket.Received;
  }
  return 0;
}


TLoopbackPeer::TLoopbackPeer(int Backlog) {
  ListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(ListenFd, reinterpret_cast<sockaddr*>(&address), length), 0);
  EXPECT_EQ(::listen(ListenFd, Backlog), 0);
  getsockname(ListenFd, reinterpret_cast<sockaddr*>(&address), &length);
  PortNumber = ntohs(address.sin_port);
}

TLoopbackPeer::~TLoopbackPeer() {
  CloseConnection();
  ::close(ListenFd);
}

bool TLoopbackPeer::Accept(int TimeoutMs) {
  pollfd pfd{ListenFd, POLLIN, 0};
  if (::poll(&pfd, 1, TimeoutMs) != 1) return false;
  CloseConnection();
  Fd = ::accept(ListenFd, nullptr, nullptr);
  return Fd >= 0;
}

void TLoopbackPeer::Send(const QByteArray& Bytes) {
  ASSERT_EQ(::send(Fd, Bytes.constData(), static_cast<size_t>(Bytes.size()), MSG_NOSIGNAL), Bytes.size());
}

QByteArray TLoopbackPeer::Read(int WaitMs) {
  QByteArray bytes;
  pollfd pfd{Fd, POLLIN, 0};
  char chunk[4096];
  while (::poll(&pfd, 1, WaitMs) == 1) {
    const ssize_t count = ::recv(Fd, chunk, sizeof chunk, 0);
    if (count <= 0) break;
    bytes.append(chunk, count);
  }
  return bytes;
}

void TLoopbackPeer::CloseConnection() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

TCapturedErrors::TCapturedErrors() {
  EXPECT_TRUE(File.open());
  std::fflush(stderr);
  Saved = ::dup(STDERR_FILENO);
  ::dup2(File.handle(), STDERR_FILENO);
}

TCapturedErrors::~TCapturedErrors() {
  Restore();
}

QByteArray TCapturedErrors::Text() {
  Restore();
  File.seek(0);
  return File.readAll();
}

QByteArray TCapturedErrors::Peek() {
  std::fflush(stderr);
  QFile written(File.fileName());
  return written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
}

void TCapturedErrors::Restore() {
  if (Saved < 0) return;
  std::fflush(stderr);
  ::dup2(Saved, STDERR_FILENO);
  ::close(Saved);
  Saved = -1;
}

THeldFile::THeldFile(const QString& Path) : Connection(QStringLiteral("held-%1").arg(reinterpret_cast<quintptr>(this))) {
  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Connection);
  db.setDatabaseName(Path);
  EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
}

THeldFile::~THeldFile() {
  {
    QSqlDatabase db = QSqlDatabase::database(Connection, false);
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    db.close();
  }
  QSqlDatabase::removeDatabase(Connection);
}

bool THeldFile::Hold() {
  return QSqlQuery(QSqlDatabase::database(Connection, false)).exec(QStringLiteral("BEGIN IMMEDIATE"));
}

bool THeldFile::Release() {
  return QSqlQuery(QSqlDatabase::database(Connection, false)).exec(QStringLiteral("COMMIT"));
}
