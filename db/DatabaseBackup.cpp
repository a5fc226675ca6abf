#include "DatabaseBackup.h"

#include <QFile>
#include <QFileInfo>

#include "DatabaseCopy.h"
#include "DiskSync.h"
#include "GroupFile.h"

TBackupWrite BackupDatabase(const QString& Source, const QString& Target, bool Replace, int BusyTimeoutMs) {
  const QByteArray target = QFile::encodeName(QFileInfo(Target).absoluteFilePath());
  const QString folder = QFileInfo(Target).absolutePath();
  if (!Replace && EntryExists(target)) return TBackupWrite::AlreadyThere;
  const QByteArray sourceFolder = QFile::encodeName(QFileInfo(Source).absolutePath());
  TTemporaryCopy copy(Source, folder, [&](int Fd) { GiveFolderGroup(Fd, sourceFolder, BackupFileMode); }, BusyTimeoutMs);
  if (!copy.MoveTo(target, Replace)) return TBackupWrite::AlreadyThere;
  SyncFolder(folder);
  return TBackupWrite::Written;
}
