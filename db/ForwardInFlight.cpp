#include "ForwardInFlight.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <mutex>
#include <utility>

#include "NativeStatement.h"

namespace {

std::mutex Guard;
QStringList Sending;  // a target twice when two forwards send to it

}  // namespace

TForwardInFlight::TForwardInFlight(sqlite3* Db, QString ATarget) : Target(std::move(ATarget)) {
  {
    const std::lock_guard lock(Guard);
    Sending.append(Target);
  }
  // The write turn is all it takes: nothing is written, so nothing is kept.
  try {
    TNativeStatement(Db, "BEGIN IMMEDIATE").Run();
    TNativeStatement(Db, "ROLLBACK").Run();
  } catch (...) {
    const std::lock_guard lock(Guard);
    Sending.removeOne(Target);
    throw;
  }
}

TForwardInFlight::~TForwardInFlight() {
  const std::lock_guard lock(Guard);
  Sending.removeOne(Target);
}

QByteArray TForwardInFlight::Targets() {
  const std::lock_guard lock(Guard);
  return QJsonDocument(QJsonArray::fromStringList(Sending)).toJson(QJsonDocument::Compact);
}
