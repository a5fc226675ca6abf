#include "ForwardEnd.h"

#include "Errors.h"
#include "ServerError.h"

namespace {

TForwardEnd EndOf(TServerFailure Failure) {
  switch (Failure) {
    case TServerFailure::Outage: return TForwardEnd::Outage;
    case TServerFailure::Stopped: return TForwardEnd::Stopped;
    case TServerFailure::NeedsPerson:
    case TServerFailure::RowRejected: break;
  }
  return TForwardEnd::Refused;
}

QString LocalFailureText(const std::exception& Error) {
  return QStringLiteral("logs.mdb: ") + QString::fromLocal8Bit(Error.what());
}

}  // namespace

// A row the server refused is set aside where it is met; one that gets here was refused
// outside a batch, which sending again will not change. What neither the server nor logs.mdb
// raised is taken as logs.mdb's: the forward cannot say more of it.
TForwardFailure FailureOf(const std::exception_ptr& Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const EServerError& Server) {
    return {EndOf(Server.Failure()), Server.Message()};
  } catch (const EDatabaseBusy& Busy) {
    return {TForwardEnd::Outage, LocalFailureText(Busy)};
  } catch (const EDatabaseError& Local) {
    return {TForwardEnd::LocalFailure, LocalFailureText(Local)};
  } catch (const std::exception& Other) {
    return {TForwardEnd::LocalFailure, QString::fromLocal8Bit(Other.what())};
  }
}
