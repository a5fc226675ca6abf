#pragma once

#include <QString>

class TPgConnection;

// Creates the server's tables records and visits with their unique keys when missing. A table
// of that name with another shape is never altered: false, with ShapeError saying what differs
// (or empty, with the connection's error, when the server failed).
bool EnsureServerSchema(TPgConnection& Server, QString& ShapeError);
