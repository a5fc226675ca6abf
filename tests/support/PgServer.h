#pragma once

#include <QString>
#include <QTemporaryDir>

// A PostgreSQL server of the test's own, from the Debian packages, in a temporary folder, on a
// Unix socket there and no TCP port; started as the user postgres when running as root
// (the server refuses root). A machine where it cannot start fails the test, never skips it.
class TPgServer {
 public:
  TPgServer();
  ~TPgServer();
  TPgServer(const TPgServer&) = delete;
  TPgServer& operator=(const TPgServer&) = delete;

  bool Running() const { return IsRunning; }
  // The server's socket, for a proxy in front of it.
  QString SocketPath() const;
  bool Start();
  bool Stop(const char* Mode = "fast");

  // Runs SQL as the superuser in Database; the output, rows as psql -tA prints them.
  QString Sql(const QString& Statements, const QString& Database = QStringLiteral("postgres")) const;
  // A new database owned by the login role quill (password "secret").
  QString CreateDatabase(const QString& Name) const;
  // postgresql://quill@/DB?host=FOLDER, with the password when given.
  QString Url(const QString& Database, const QString& Password = QString()) const;

 private:
  QString Run(const QStringList& Command) const;

  QTemporaryDir Dir;
  bool IsRunning = false;
};
