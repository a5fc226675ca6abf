#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "LocalState.h"

// How far a forward got, also when it failed part way.
struct TForwardProgress {
  QString Target;   // host:port/dbname; empty while the URL is not understood
  int Records = 0;  // records the server acknowledged (it keeps each once, whatever it held)
  int Visits = 0;
  int SetAside = 0;  // rows the server refused, noted in logs.mdb (forwarding_rejected)
};

// A watch told of live events forwards records alone; visits wait for its next look.
enum class TForwardScope { Everything, Records };

struct TForwardLimits {
  int BatchRows = 100000;
  qsizetype BatchBytes = 8 << 20;
  std::chrono::milliseconds ConnectTimeout{5000};
  std::chrono::milliseconds CallTimeout{60000};  // each call to the server, whatever the URL says
};

// Sends the server every record and visit of logs.mdb it has not acknowledged yet, in batches,
// each one transaction there. What was acknowledged is noted in logs.mdb (table forwarding) only
// after the server's commit: a crash, a kill or a lost link means the next run sends again
// from there, and the server's unique keys make the resend harmless. A visit is known on the
// server by this file's random origin, its local id and its start, so neither a restored file,
// nor an emptied visits table, nor a second collector can merge two visits; a site name is
// bound to the first file that used it. The server connection, its tables checked and the site
// claimed, is kept from one Run to the next and dropped on any failure: a forward every second
// must not cost the server a new backend every second. A mark that is not where the kept link
// left it (the forwarding row deleted for a resend, the marked row gone) means rows go again:
// the tables are checked again first, since only their unique keys keep a resend harmless.
// Records re-stamped after they were sent (a short live event given its log copy's time and
// mode) are corrected on the server before any record goes.
class TForwarder {
 public:
  // Connection: the Qt connection name of logs.mdb. StopFd, when not -1, ends every wait on the
  // server once readable (TServerFailure::Stopped), and nothing of the call is acknowledged.
  TForwarder(QString Connection, QString ServerUrl, QString SiteName, TForwardLimits Bounds = {}, int StopFd = -1);
  ~TForwarder();
  TForwarder(const TForwarder&) = delete;
  TForwarder& operator=(const TForwarder&) = delete;

  // Raises EServerError (the server or the URL) or EDatabaseError (logs.mdb); the outcome of
  // each attempt is noted in logs.mdb either way (a URL that does not parse under UnparsedTarget),
  // except a stop, which says nothing of the server.
  void Run(TForwardScope Scope = TForwardScope::Everything);
  const TForwardProgress& Progress() const { return Done; }
  // Records logs.mdb holds past the acknowledged mark; reads only, and everything before the
  // first Run (its mark is not known yet). Raises EDatabaseError.
  qint64 RecordsWaiting() const;
  // Whether a Run would send anything: a record or an ended visit past the marks. Reads only,
  // stopping at the first such row; true before the first Run. Raises EDatabaseError.
  bool Pending() const;

  // Called with the batch's number (from 1) after its rows reached the server and before its
  // commit: where a lost server hurts most, so tests stop theirs here.
  std::function<void(int)> BeforeCommit;

  static constexpr int MaxSiteChars = 255;  // a host name fits
  // The target under which a URL that does not parse is noted in logs.mdb, for the check to see.
  static constexpr const char* UnparsedTarget = "the URL of --forward";

 private:
  void Connect(const class TServerAddress& Address, class TLocalState& State);
  void Forward(class TPgConnection& Server, TLocalState& State, TForwardScope Scope);
  void ClaimSite(TPgConnection& Server, const QByteArray& Origin);
  void NoteSuccess(TLocalState& State);
  void CheckBeforeResend(TPgConnection& Server, TLocalState& State, qint64 Mark, qint64& Left);

  static constexpr qint64 NoteSuccessEveryMs = 60000;

  QString LocalConnection;
  QString Url;
  QString Site;
  TForwardLimits Limits;
  int Stop;
  TForwardProgress Done;
  std::unique_ptr<TPgConnection> Link;
  std::optional<TLocalState> Local;  // made with each new link, its tables made sure of
  QByteArray FileOrigin;  // read as Link was made
  // Where this link left each mark; -1 right after its tables were checked.
  qint64 RecordsLeft = -1;
  qint64 VisitsLeft = -1;
  bool SuccessNoted = false;  // the last note in logs.mdb was a success
  QElapsedTimer SinceNoted;
  QString Target;  // of the last Run that got past the URL
};
