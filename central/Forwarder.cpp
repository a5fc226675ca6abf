#include "Forwarder.h"

#include <QSqlDatabase>

#include <optional>
#include <utility>

#include "BatchSender.h"
#include "Corrections.h"
#include "Errors.h"
#include "ForwardInFlight.h"
#include "LocalRows.h"
#include "LocalState.h"
#include "NativeStatement.h"
#include "PgConnection.h"
#include "ServerError.h"
#include "ServerSchema.h"

namespace {

struct TTally {
  int& Batches;
  int& Sent;
  int& SetAside;
};

// Batch after batch from Mark until the table's end as it was read: rows a watch stores
// meanwhile wait for its next forward rather than cost a transaction each few milliseconds.
// Each batch is on its way to the server while it is read, and acknowledged locally only after
// the server's commit: a failure before it leaves the mark where it was.
template <typename TRead, typename TAcknowledge>
void SendAll(TBatchSender& Sender, TMark Mark, TTally Tally, TRead Read, TAcknowledge Acknowledge) {
  for (;;) {
    const TBatch batch = Read(Mark, [&Sender](const TBatch& Growing) { Sender.Grown(Growing); });
    if (batch.Rows() == 0) return;
    ++Tally.Batches;
    const QList<TSetAside> refused = Sender.Send(batch);
    Acknowledge(batch.Last, refused);
    Mark = batch.Last;
    Tally.Sent += static_cast<int>(batch.Rows() - refused.size());
    Tally.SetAside += static_cast<int>(refused.size());
    if (batch.AtEnd) return;
  }
}

// The server's failure noted for the check; where logs.mdb cannot take the note, its failure
// is what the run ends on, with the server's words kept apart from SQLite's.
void NoteFailure(TLocalState& State, const EServerError& Error) {
  try {
    State.NoteAttempt(Error.Message());
  } catch (const EDatabaseError& Local) {
    throw EDatabaseError(QStringLiteral("%1 (while noting that forwarding failed: %2)")
                             .arg(QString::fromLocal8Bit(Local.what()), Error.Message())
                             .toStdString());
  }
}

}  // namespace

TForwarder::TForwarder(QString Connection, QString ServerUrl, QString SiteName, TForwardLimits Bounds, int StopFd)
    : LocalConnection(std::move(Connection)),
      Url(std::move(ServerUrl)),
      Site(std::move(SiteName)),
      Limits(Bounds),
      Stop(StopFd) {}

TForwarder::~TForwarder() = default;

void TForwarder::Run(TForwardScope Scope) {
  Done = {};
  sqlite3* local = NativeHandle(QSqlDatabase::database(LocalConnection, false));
  if (Link && !Link->StillOpen()) Link.reset();  // closed while idle: no outage, a new link
  // The URL is taken apart and the local tables made sure of with each new link: a watch's
  // forward many times a second on a kept link only reads and acknowledges.
  std::optional<TServerAddress> address;
  if (!Link) {
    try {
      address.emplace(Url);
    } catch (const EServerError& Error) {
      TLocalState unparsed(local, QString::fromLatin1(UnparsedTarget));
      NoteFailure(unparsed, Error);
      throw;
    }
    Done.Target = address->Target();
  } else {
    Done.Target = Target;
  }
  if (!Link) Local.emplace(local, Done.Target);
  TLocalState& state = *Local;
  Target = Done.Target;  // once its mark can be read
  try {
    if (Site.size() > MaxSiteChars) {
      throw EServerError(TServerFailure::NeedsPerson,
                         QStringLiteral("the site name has %1 characters, more than %2").arg(Site.size()).arg(MaxSiteChars));
    }
    if (!Link) Connect(*address, state);
    Forward(*Link, state, Scope);
  } catch (const EServerError& Error) {
    Link.reset();  // whatever the failure left on the link, the next Run starts afresh
    SuccessNoted = false;
    if (Error.Failure() != TServerFailure::Stopped) NoteFailure(state, Error);
    throw;
  } catch (...) {  // logs.mdb: the next Run starts afresh all the same
    Link.reset();
    SuccessNoted = false;
    throw;
  }
  NoteSuccess(state);
}

// Rows set aside wait for a person: the check must not call that a success. A success after a
// success is noted once a minute: the check looks back hours, and a watch forwards many times
// a second.
void TForwarder::NoteSuccess(TLocalState& State) {
  if (Done.SetAside == 0 && SuccessNoted && !SinceNoted.hasExpired(NoteSuccessEveryMs)) return;
  State.NoteAttempt(Done.SetAside == 0 ? QString()
                                       : QStringLiteral("%1 rows were refused and set aside (table forwarding_rejected)")
                                             .arg(Done.SetAside));
  SuccessNoted = Done.SetAside == 0;
  SinceNoted.start();
}

qint64 TForwarder::RecordsWaiting() const {
  sqlite3* local = NativeHandle(QSqlDatabase::database(LocalConnection, false));
  if (Target.isEmpty()) return CountRecords(local, {});
  return CountRecords(local, TLocalState::Reading(local, Target).RecordsMark());
}

bool TForwarder::Pending() const {
  if (Target.isEmpty()) return true;
  TLocalState state = TLocalState::Reading(NativeHandle(QSqlDatabase::database(LocalConnection, false)), Target);
  const TBatchLimits first{1, 1};
  if (ReadRecords(state.Db(), state.RecordsMark(), {}, first).Rows() > 0 || state.CorrectionsWaiting()) return true;
  return HasVisitsJournal(state.Db()) && ReadVisits(state.Db(), state.VisitsMark(), {}, {}, first).Rows() > 0;
}

// Once per connection: the tables looked at (made where missing) and the site claimed.
void TForwarder::Connect(const TServerAddress& Address, TLocalState& State) {
  auto server = std::make_unique<TPgConnection>(Address, Limits.ConnectTimeout, Limits.CallTimeout, Stop);
  EnsureServerSchema(*server);
  FileOrigin = State.Origin();
  ClaimSite(*server, FileOrigin);
  Link = std::move(server);
  RecordsLeft = VisitsLeft = -1;
}

// The local tables are made sure of again too: a deleted forwarding row would take no mark.
void TForwarder::CheckBeforeResend(TPgConnection& Server, TLocalState& State, qint64 Mark, qint64& Left) {
  if (Left != -1 && Mark != Left) {
    State = TLocalState(State.Db(), Target);
    EnsureServerSchema(Server);
  }
  Left = Mark;
}

void TForwarder::Forward(TPgConnection& Server, TLocalState& State, TForwardScope Scope) {
  const QByteArray site = Site.toUtf8();
  const TBatchLimits limits{Limits.BatchRows, Limits.BatchBytes};
  int batch = 0;
  const auto beforeCommit = [&] {
    if (BeforeCommit) BeforeCommit(batch);
  };
  TBatchSender records(Server, RecordsTable(), beforeCommit);
  const TForwardInFlight sending(State.Db(), Target);
  const TMark recordsMark = State.RecordsMark();
  CheckBeforeResend(Server, State, recordsMark.Id, RecordsLeft);
  // Before the records: a resend then finds the server's copy corrected, not beside the row.
  const TCorrections corrections = State.Corrections();
  if (corrections.Last > 0) {
    if (corrections.Rows != "[]") SendCorrections(Server, corrections.Rows, Site);
    State.CorrectionsSent(corrections.Last);
  }
  SendAll(
      records, recordsMark, {batch, Done.Records, Done.SetAside},
      [&](const TMark& Mark, const TGrowth& Grown) {
        return ReadRecords(State.Db(), Mark, site, limits, Grown, Server.IntegerTimes());
      },
      [&](const TMark& Last, const QList<TSetAside>& Refused) {
        State.AcknowledgeRecords(Last, Refused);
        RecordsLeft = Last.Id;
      });
  if (Scope == TForwardScope::Records || !HasVisitsJournal(State.Db())) return;
  TBatchSender visits(Server, VisitsTable(), beforeCommit);
  const TMark visitsMark = State.VisitsMark();
  CheckBeforeResend(Server, State, visitsMark.Id, VisitsLeft);
  SendAll(
      visits, visitsMark, {batch, Done.Visits, Done.SetAside},
      [&](const TMark& Mark, const TGrowth& Grown) { return ReadVisits(State.Db(), Mark, FileOrigin, site, limits, Grown); },
      [&](const TMark& Last, const QList<TSetAside>& Refused) {
        State.AcknowledgeVisits(Last, Refused);
        VisitsLeft = Last.Id;
      });
}

// Two files under one name would mix their visits in every query by site: the name stays with
// the first file that used it.
void TForwarder::ClaimSite(TPgConnection& Server, const QByteArray& Origin) {
  const QString origin = QString::fromLatin1(Origin);
  // One round trip: the claim's row, or the one that was there, which the statement's snapshot
  // shows unless another claim committed just after it began: then a second look.
  QStringList owner = Server.Column(
      QStringLiteral("WITH claim AS (INSERT INTO sites (site, origin) VALUES ($1, $2) ON CONFLICT (site) DO NOTHING "
                     "RETURNING origin) SELECT origin FROM claim UNION ALL SELECT origin FROM sites WHERE site = $1"),
      {Site, origin});
  if (owner.isEmpty()) owner = Server.Column(QStringLiteral("SELECT origin FROM sites WHERE site = $1"), {Site});
  if (owner.value(0) != origin) {
    throw EServerError(TServerFailure::NeedsPerson,
                       QStringLiteral("the site name '%1' belongs to another logs.mdb on this server; give this one a --site of "
                                      "its own (or, if that file is gone for good, free the name there: DELETE FROM sites "
                                      "WHERE site = '%1')")
                           .arg(Site));
  }
}
