#pragma once

#include <QString>

#include <functional>

#include "ExitStatus.h"
#include "ReaderAddress.h"
#include "ReaderEdit.h"
#include "RecordExport.h"

class QCommandLineParser;

// The chores around a run, each its own start: --readers, --add-reader, --set-reader, --remove-reader,
// --test-reader, --export, --backup, --restore, --collect-now.
struct TSiteCommand {
  enum class TTool { None, Readers, AddReader, SetReader, RemoveReader, TestReader, Export, Backup, Restore, CollectNow } Tool = TTool::None;
  TReaderAddress Reader;  // --add-reader, --set-reader, --remove-reader, --test-reader; --collect-now: empty for all
  TReaderFlags Flags;     // --add-reader
  TFlagChanges Changes;   // --set-reader
  TExportRequest Export;
  QString BackupFile;  // --backup's target, --restore's source
  bool Force = false;
};

// SettingReader: the arguments hold --set-reader, whose --set-clock and --clear-after take on
// or off where --add-reader's stand alone.
void AddSiteOptions(QCommandLineParser& Parser, bool SettingReader);
// The tool the parsed options ask for (None when none) into Command; one line for a person
// when an option is bad or stands without its tool, else empty.
QString ReadSiteOptions(const QCommandLineParser& Parser, TSiteCommand& Command);

// Runs the tool; returns the exit code. SharedFolder: the data folder whose group a restored
// logs.mdb takes outside a set-group-ID folder, as with --init.
int RunSiteCommand(const TSiteCommand& Command, const QString& DatabasePath, const QString& SharedFolder);

// Runs Tool on logs.mdb, turning what it raises into one journal line and an exit code: a file
// that is missing, not SQLite or not writable by its own status, any other failure as Failure.
int RunSiteTool(const QString& DatabasePath, TExitStatus Failure, const std::function<TExitStatus()>& Tool);
