#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

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

QByteArray Hex(const QByteArray& Bytes) {
  return Bytes.toHex();
}
