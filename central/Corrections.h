#pragma once

#include <QByteArray>
#include <QString>

class TPgConnection;

// Records the server has as they were sent, re-stamped since in logs.mdb (a short live event
// given its log copy's time and mode), as TCorrections::Rows lists them. In one transaction:
// the server's copy, known by its time as sent, its card and its reader, is moved to the row
// as it is now, unless that row is there already; and the row is inserted where the server has
// neither. Sent again after a lost acknowledgement, it changes nothing. UPDATE and INSERT only,
// the rights an admin grants. Raises EServerError.
void SendCorrections(TPgConnection& Server, const QByteArray& Rows, const QString& Site);
