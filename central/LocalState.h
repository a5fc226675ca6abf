#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

struct sqlite3;
class TNativeStatement;

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
// failure raises EDatabaseError. The statements every forward runs are prepared once for the
// object's life: a watch forwards many times a second, and compiling them was most of what its
// forwards cost here.
class TLocalState {
 public:
  // Makes the tables where they are missing.
  TLocalState(sqlite3* Db, const QString& ServerTarget);
  ~TLocalState();
  TLocalState(TLocalState&&) noexcept;
  TLocalState& operator=(TLocalState&&) noexcept;
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
  void Acknowledge(std::unique_ptr<TNativeStatement>& Kept, const char* Update, const char* Source, const TMark& Last,
                   const QList<TSetAside>& Refused);
  void MoveMark(std::unique_ptr<TNativeStatement>& Kept, const char* Update, const TMark& Last);
  TNativeStatement& Statement(std::unique_ptr<TNativeStatement>& Kept, const char* Sql);
  sqlite3* Handle;
  QByteArray Target;
  std::unique_ptr<TNativeStatement> RecordsMarkQuery;
  std::unique_ptr<TNativeStatement> CorrectionsQuery;
  std::unique_ptr<TNativeStatement> RecordsMarkUpdate;
  std::unique_ptr<TNativeStatement> VisitsMarkUpdate;
};
