#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

#include "GroupFile.h"

struct sqlite3;

// A native connection, closed with the object.
using TNativeConnection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

// Opens Path with SQLite's Flags; raises EDatabaseError.
TNativeConnection OpenNative(const QByteArray& Path, int Flags, int BusyTimeoutMs);

// Raises EDatabaseError unless integrity_check finds the database Db holds whole.
void CheckIntegrity(sqlite3* Db);

// A consistent copy of the database at Source (VACUUM INTO: one committed state, read while
// others write, in rollback-journal mode) under a temporary name in Folder, which passes
// integrity_check and is synced. Share gives the empty file its mode and group before anything
// is written to it. Removed when it goes, unless it was moved into place. Raises EDatabaseError.
class TTemporaryCopy {
 public:
  TTemporaryCopy(const QString& Source, const QString& Folder, const std::function<void(int Fd)>& Share, int BusyTimeoutMs);
  TTemporaryCopy(const TTemporaryCopy&) = delete;
  TTemporaryCopy& operator=(const TTemporaryCopy&) = delete;

  // Renames it to Target, replacing a file there only with Replace; false, with nothing
  // renamed, when a file is there and Replace is false. Raises EDatabaseError.
  bool MoveTo(const QByteArray& Target, bool Replace);

 private:
  QByteArray Temporary;
  std::unique_ptr<TUnfinishedFile> Unfinished;
};

// Whether anything is at Path; a link that leads nowhere counts, as a rename would replace it.
bool EntryExists(const QByteArray& Path);
