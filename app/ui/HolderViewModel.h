#pragma once

#include <QAbstractTableModel>
#include <QString>

#include "WatchView.h"

// How many of the rows are in each state, for the line above them.
struct THolderCounts {
  int Readers = 0;
  int Up = 0;
  int Down = 0;
  int Collecting = 0;
};

// "9 readers: 7 up, 1 down, 2 collecting".
QString HolderCountsText(const THolderCounts& Counts);

// A row per readers row as another start sees the holder of logs.mdb at work: the reader, its
// line and since when, what its pass is doing now, the records of today, and its last visit and
// when. A line down or a failed visit is red, as in the window of a run.
class THolderViewModel : public QAbstractTableModel {
 public:
  enum TColumn { ReaderColumn, LineColumn, NowColumn, TodayColumn, LastColumn, ColumnCount };

  using QAbstractTableModel::QAbstractTableModel;

  // The view as read last; rows keep their place when the table did not change.
  void Show(const TWatchView& View);
  const TWatchView& Shown() const { return View; }
  THolderCounts Counts() const;

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

 private:
  QString Text(const TReaderView& Reader, int Column) const;

  TWatchView View;
};
