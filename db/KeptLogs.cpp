#include "KeptLogs.h"

#include "NativeStatement.h"

namespace {

QByteArray ColumnBytes(const TNativeStatement& Query, int Column) {
  return QByteArray::fromHex(QByteArray(Query.Text(Column), Query.TextLength(Column)));
}

}  // namespace

TKeptLogs::TKeptLogs(sqlite3* ADb) : Db(ADb) {}

TKeptLogs::~TKeptLogs() = default;

bool TKeptLogs::Exists() const {
  return HasTable(Db, "kept_logs");
}

std::optional<TKeptLog> TKeptLogs::Recall(const QString& Reader) {
  if (!Exists()) return std::nullopt;
  if (!Select) {
    Select = std::make_unique<TNativeStatement>(
        Db, "SELECT page, slot, last_slot, first_slot, record_count, log_mark FROM kept_logs WHERE reader = ?");
  }
  Select->BindText(1, Reader.toUtf8());
  if (!Select->Next()) return std::nullopt;
  TKeptLog log;
  log.Page = static_cast<int>(Select->Int64(0));
  log.Slot = static_cast<int>(Select->Int64(1));
  log.LastSlot = ColumnBytes(*Select, 2);
  log.FirstSlot = ColumnBytes(*Select, 3);
  log.RecordCount = static_cast<int>(Select->Int64(4));
  log.LogMark = static_cast<int>(Select->Int64(5));
  while (Select->Next()) {
  }
  return log;
}

// The table is made in the transaction that keeps the first row, every time: a transaction that
// made it may have been rolled back since. The slots go in as hex, to read as they came in any
// SQLite tool.
void TKeptLogs::Keep(const QString& Reader, const TKeptLog& Log) {
  if (!Replace) {
    Create = std::make_unique<TNativeStatement>(
        Db, "CREATE TABLE IF NOT EXISTS kept_logs (reader TEXT PRIMARY KEY, page INTEGER NOT NULL, slot INTEGER NOT NULL, "
            "last_slot TEXT NOT NULL, first_slot TEXT NOT NULL, record_count INTEGER NOT NULL, log_mark INTEGER NOT NULL)");
    Replace = std::make_unique<TNativeStatement>(Db, "INSERT OR REPLACE INTO kept_logs VALUES (?, ?, ?, ?, ?, ?, ?)");
  }
  Create->Run();
  Replace->BindText(1, Reader.toUtf8());
  Replace->BindInt(2, Log.Page);
  Replace->BindInt(3, Log.Slot);
  Replace->BindText(4, Log.LastSlot.toHex());
  Replace->BindText(5, Log.FirstSlot.toHex());
  Replace->BindInt(6, Log.RecordCount);
  Replace->BindInt(7, Log.LogMark);
  Replace->Run();
}

void TKeptLogs::Forget(const QString& Reader) {
  if (!Exists()) return;
  if (!Delete) Delete = std::make_unique<TNativeStatement>(Db, "DELETE FROM kept_logs WHERE reader = ?");
  Delete->BindText(1, Reader.toUtf8());
  Delete->Run();
}
