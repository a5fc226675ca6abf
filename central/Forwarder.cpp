#include "Forwarder.h"

#include <QSqlDatabase>

#include <utility>

#include "BatchSender.h"
#include "LocalRows.h"
#include "LocalState.h"
#include "NativeStatement.h"
#include "PgConnection.h"
#include "ServerError.h"
#include "ServerSchema.h"

TForwarder::TForwarder(QString LocalConnection, QString Url, QString Site, TForwardLimits Limits)
    : LocalConnection(std::move(LocalConnection)), Url(std::move(Url)), Site(std::move(Site)), Limits(Limits) {}

void TForwarder::Run() {
  Done = {};
  const TServerAddress address(Url);
  Done.Target = address.Target();
  TLocalState state(NativeHandle(QSqlDatabase::database(LocalConnection, false)), Done.Target);
  try {
    if (Site.size() > MaxSiteChars) {
      throw EServerError(TServerFailure::NeedsPerson,
                         QStringLiteral("the site name has %1 characters, more than %2").arg(Site.size()).arg(MaxSiteChars));
    }
    TPgConnection server(address, Limits.ConnectTimeout, Limits.CallTimeout);
    Forward(server, state);
  } catch (const EServerError& Error) {
    state.NoteAttempt(Error.Message());
    throw;
  }
  state.NoteAttempt(QString());
}

void TForwarder::Forward(TPgConnection& Server, TLocalState& State) {
  EnsureServerSchema(Server);
  const QByteArray origin = State.Origin();
  ClaimSite(Server, origin);
  int batch = 0;
  SendRecords(Server, State, batch);
  SendVisits(Server, State, origin, batch);
}

// Two files under one name would mix their visits in every query by site: the name stays with
// the first file that used it.
void TForwarder::ClaimSite(TPgConnection& Server, const QByteArray& Origin) {
  const QString origin = QString::fromLatin1(Origin);
  Server.Exec(QStringLiteral("INSERT INTO sites (site, origin) VALUES ($1, $2) ON CONFLICT (site) DO NOTHING"), {Site, origin});
  if (Server.Column(QStringLiteral("SELECT origin FROM sites WHERE site = $1"), {Site}).value(0) != origin) {
    throw EServerError(TServerFailure::NeedsPerson,
                       QStringLiteral("the site name '%1' belongs to another logs.mdb on this server; give this one a --site of "
                                      "its own (or, if that file is gone for good, free the name there: DELETE FROM sites "
                                      "WHERE site = '%1')")
                           .arg(Site));
  }
}

void TForwarder::SendRecords(TPgConnection& Server, TLocalState& State, int& Batch) {
  const QByteArray site = Site.toUtf8();
  SendTable(Server, RecordsTable(), State.RecordsMark(), Batch, Done.Records,
      [&](const TMark& Mark) { return ReadRecords(State.Db(), Mark, site, {Limits.BatchRows, Limits.BatchBytes}); },
      [&](const TMark& Last, const QList<TSetAside>& Refused) { State.AcknowledgeRecords(Last, Refused); });
}

void TForwarder::SendVisits(TPgConnection& Server, TLocalState& State, const QByteArray& Origin, int& Batch) {
  const QByteArray site = Site.toUtf8();
  SendTable(Server, VisitsTable(), State.VisitsMark(), Batch, Done.Visits,
      [&](const TMark& Mark) { return ReadVisits(State.Db(), Mark, Origin, site, {Limits.BatchRows, Limits.BatchBytes}); },
      [&](const TMark& Last, const QList<TSetAside>& Refused) { State.AcknowledgeVisits(Last, Refused); });
}

void TForwarder::SendTable(TPgConnection& Server, const TServerTable& Table, TMark Mark, int& Batch, int& Sent,
                           const TReadBatch& Read, const TAcknowledge& Acknowledge) {
  TBatchSender sender(Server, Table, [&] {
    if (BeforeCommit) BeforeCommit(Batch);
  });
  for (;;) {
    const TBatch batch = Read(Mark);
    if (batch.Rows() == 0) return;
    ++Batch;
    const QList<TSetAside> refused = sender.Send(batch);
    // Only now: a failure before the server's commit leaves the mark where it was.
    Acknowledge(batch.Last, refused);
    Mark = batch.Last;
    Sent += static_cast<int>(batch.Rows() - refused.size());
    Done.SetAside += static_cast<int>(refused.size());
  }
}
