#pragma once

#include <QString>

#include <sys/types.h>

enum class TBackupWrite { Written, AlreadyThere };

// Mode of a back-up copy: its owner and the data folder's group read it, nobody else.
constexpr mode_t BackupFileMode = 0640;

// Copies the database at Source to Target through VACUUM INTO: one consistent state, taken
// while other connections write, that passes integrity_check. The copy is written
// under a temporary name in Target's folder with BackupFileMode and Source's folder's group,
// synced, then renamed to Target, so a failure never leaves a half file under Target. A file
// at Target is replaced only with Replace, else AlreadyThere and nothing written. Raises
// EDatabaseError; nothing stays under the temporary name.
TBackupWrite BackupDatabase(const QString& Source, const QString& Target, bool Replace, int BusyTimeoutMs);
