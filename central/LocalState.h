#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct sqlite3;

// The last row of a local table the server acknowledged: its rowid and the key that tells
// whether the row at that rowid is still the one that was sent (SQLite hands out a deleted
// largest rowid again, VACUUM renumbers, a restored file has rows the server never saw).
struct TMark {
  qint64 Id = 0;
  QByteArray Time;  // records: RECTIME; visits: started
  QByteArray Card;  // records: CARDNO
};

// Rows the server holds as they were when sent, before their log copy re-stamped them (table
// forwarding_corrections): Rows a JSON array of objects was, cardno, rectime, reader, mode (the
// row as it is now; a row since deleted is left out), Last the last of them in the table.
struct TCorrections {
  QByteArray Rows;
  qint64 Last = 0;
};

// A local row the server refused, and its words why.
struct TSetAside {
  qint64 Id = 0;
  QString Reason;
};

// Where forwarding to one server stands, in logs.mdb: the marks (table forwarding), this file's
// own random identity (forwarding_origin), the rows set aside (forwarding_rejected). Every
// failure raises EDatabaseError.
class TLocalState {
 public:
  // Makes the tables where they are missing.
  TLocalState(sqlite3* Db, const QString& ServerTarget);
  // For the marks only, writing nothing: the tables must be there.
  static TLocalState Reading(sqlite3* Db, const QString& ServerTarget);
  sqlite3* Db() const { return Handle; }

  // This file's identity on every server: made once, kept in the file, copied with it.
  QByteArray Origin();
  // The marks, or the start when the row they name is gone or has changed.
  TMark RecordsMark();
  TMark VisitsMark();
  // After the server's commit: the mark moves past the batch and its refused rows are noted,
  // in one local transaction.
  void AcknowledgeRecords(const TMark& Last, const QList<TSetAside>& Refused);
  void AcknowledgeVisits(const TMark& Last, const QList<TSetAside>& Refused);
  TCorrections Corrections();
  bool CorrectionsWaiting();
  // After the server's commit: those up to Last are done.
  void CorrectionsSent(qint64 Last);
  // The outcome of this attempt: the error, or none.
  void NoteAttempt(const QString& Error);

 private:
  struct TReadOnly {};
  TLocalState(sqlite3* Db, const QString& ServerTarget, TReadOnly);
  void Acknowledge(const char* Update, const char* Source, const TMark& Last, const QList<TSetAside>& Refused);
  void MoveMark(const char* Update, const TMark& Last);
  sqlite3* Handle;
  QByteArray Target;
};
