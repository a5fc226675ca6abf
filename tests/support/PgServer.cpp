#include "PgServer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>

namespace {

const QString Bin = QStringLiteral("/usr/lib/postgresql/15/bin/");

// The server's user when we are root (it refuses root); null when we run as ourselves.
const passwd* ServerUser() {
  return ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
}

QStringList AsServerUser() {
  const passwd* user = ServerUser();
  if (user == nullptr) return {};
  return {"setpriv", QStringLiteral("--reuid=%1").arg(user->pw_uid), QStringLiteral("--regid=%1").arg(user->pw_gid),
          "--init-groups"};
}

}  // namespace

QString TPgServer::Run(const QStringList& Command) const {
  const QStringList full = AsServerUser() + Command;
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  // The server's user may not enter the folder the suite runs in (a clone in a private folder).
  process.setWorkingDirectory(Dir.path());
  process.start(full.front(), full.mid(1));
  process.waitForFinished(120000);
  const QString output = QString::fromLocal8Bit(process.readAll());
  EXPECT_EQ(process.exitCode(), 0) << full.join(' ').toStdString() << ": " << output.toStdString();
  return output;
}

TPgServer::TPgServer() {
  if (const passwd* user = ServerUser()) {
    // The folder and the data must belong to the server's user.
    QProcess::execute("chown", {QStringLiteral("%1:%2").arg(user->pw_uid).arg(user->pw_gid), Dir.path()});
    QFile::setPermissions(Dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
  }
  Run({Bin + "initdb", "-D", Dir.filePath("data"), "-U", "postgres", "-E", "UTF8", "--no-sync"});
  // The superuser sets up; everyone else shows a password, as on a real server.
  QFile hba(Dir.filePath("data/pg_hba.conf"));
  EXPECT_TRUE(hba.open(QIODevice::WriteOnly | QIODevice::Truncate));
  hba.write("local all postgres trust\nlocal all all scram-sha-256\n");
  hba.close();
  IsRunning = Start();
  EXPECT_TRUE(IsRunning) << "the test's PostgreSQL server did not start";
  Sql("CREATE ROLE quill LOGIN PASSWORD 'secret'");
}

TPgServer::~TPgServer() {
  if (IsRunning) Stop("immediate");
}

bool TPgServer::Start() {
  // Only a socket in our own folder: no port to pick, so no race with other tests for one.
  const QString options = QStringLiteral("-k %1 -c listen_addresses='' -c fsync=off").arg(Dir.path());
  Run({Bin + "pg_ctl", "-D", Dir.filePath("data"), "-o", options, "-l", Dir.filePath("log"), "-w", "start"});
  IsRunning = Sql("SELECT 1").trimmed() == "1";
  return IsRunning;
}

bool TPgServer::Stop(const char* Mode) {
  Run({Bin + "pg_ctl", "-D", Dir.filePath("data"), "-m", Mode, "-w", "stop"});
  IsRunning = false;
  return true;
}

QString TPgServer::Sql(const QString& Statements, const QString& Database) const {
  return Run(
      {"psql", "-X", "-q", "-tA", "-v", "ON_ERROR_STOP=1", "-h", Dir.path(), "-U", "postgres", "-d", Database, "-c", Statements});
}

QString TPgServer::CreateDatabase(const QString& Name) const {
  Sql(QStringLiteral("CREATE DATABASE %1 OWNER quill").arg(Name));
  return Name;
}

QString TPgServer::Url(const QString& Database, const QString& Password) const {
  const QString user = Password.isEmpty() ? QStringLiteral("quill") : QStringLiteral("quill:") + Password;
  return QStringLiteral("postgresql://%1@/%2?host=%3")
      .arg(user, Database, QString::fromLatin1(QUrl::toPercentEncoding(Dir.path())));
}

QString TPgServer::SocketPath() const {
  return Dir.filePath(QStringLiteral(".s.PGSQL.5432"));
}
