#pragma once

#include <QString>

// Flushes a file (or a folder's entries) to the disk; raises EDatabaseError naming the path and
// the reason. A missing file is fine only where MayBeMissing says so.
void SyncToDisk(const QString& Path, bool MayBeMissing = false);
