#pragma once

#include <QString>
#include <QStringList>

#include "ReadersTable.h"

class TSiteConnection;

// Its three flags in words: "set clock, download, log kept".
QString FlagWords(const TReaderRow& Row);

// One line per readers row, in table order: address:port, its three flags in words and its
// last visit; a row that cannot be read says which column holds what, in its place.
QStringList ReaderLines(const TSiteConnection& Connection);

// quillmere --readers: the lines on standard output; returns the exit code.
int ListReaders(const QString& DatabasePath);
