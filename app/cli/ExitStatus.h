#pragma once

// How a start ends, for timers, cron and monitors. Readers that merely failed are outcomes in
// the journal: their run still ends Ok. Each code below needs a person.
enum class TExitStatus : int {
  Ok = 0,
  RunFailed = 1,            // an error ended the run unattended (a row that cannot be read)
  Usage = 2,                // a bad option or value; nothing contacted
  DatabaseMissing = 3,      // no logs.mdb where the run looks for it
  DatabaseUnwritable = 4,   // logs.mdb or its folder cannot be written
  DatabaseUnusable = 5,     // not SQLite, damaged, or without the tables a run needs
  ForwardRefused = 6,       // forwarding needs a person: the URL, a login, a right, a table's shape,
                            // a site name in use, rows the server refused
  DatabaseExists = 7,       // --init, --backup or --restore found a file already there and left it alone
  StoreFailed = 8,          // logs.mdb failed to take what was collected: a full or failing disk
  ReaderUnanswered = 9,     // --test-reader: the reader could not be reached or did not answer
  CopyFailed = 10,          // --backup, --export or --restore could not write its copy or its output
  DatabaseLinked = 11,      // logs.mdb has a second hard link: SQLite cannot share a file under two names
  DatabaseInUse = 12,       // --restore: a run, a watch or another program has logs.mdb open
  NoWatch = 13,             // --collect-now: no watch holds logs.mdb to ask (a plain run collects now)
  CollectUnfinished = 14,   // --collect-now: a reader's pass failed, was refused, or had not ended when the wait did
  DescriptorsShort = 15,    // the readers need more open files than the process may have; nothing contacted
  Stopped = 16,             // a stop signal ended a run (not a watch) before its last reader
};

constexpr int ExitCode(TExitStatus Status) {
  return static_cast<int>(Status);
}
