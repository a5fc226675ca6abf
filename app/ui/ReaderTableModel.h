#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QString>

#include <optional>
#include <vector>

#include "PassObserver.h"
#include "VisitJournal.h"

// What a reader's visit is doing now, as far as a person cares.
enum class TReaderActivity {
  Waiting,
  Connecting,
  Locking,
  SettingOptions,
  ReadingLogSize,
  Downloading,
  Clearing,
  Unlocking,
  NotAnswering,
  NotVisited,  // the run stopped before this row
};

// What a reader pass does at Step.
TReaderActivity ActivityOf(TPassStep Step);
// In a person's words: "downloading 40 of 300 records".
QString ActivityText(TReaderActivity Activity, int Steps, int Maximum);
// How a visit ended: "done: 3 records added, 297 duplicates, log kept", or its failure and reason.
QString OutcomeSummary(const TVisit& Visit);

// The colour of a failure, wherever a reader's row shows one.
extern const QColor FailureColor;

struct TReaderCounts {
  int Total = 0;
  int Finished = 0;
  int Failed = 0;
  int AtWork = 0;
  int Waiting = 0;
  int NotVisited = 0;
};

// "3 of 9 readers finished, 2 failed, 4 at work": only the parts that are not zero follow the first.
QString CountsText(const TReaderCounts& Counts);

// A row per reader of a run, in table order: its address and port, then what its visit is doing
// now or, once ended, how it ended, a failure in red with an icon and its detail as tool tip.
// Fed from the window thread only; a row that has ended keeps its outcome.
class TReaderTableModel : public QAbstractTableModel {
 public:
  enum TColumn { ReaderColumn, StatusColumn, ColumnCount };

  using QAbstractTableModel::QAbstractTableModel;

  int AddReader(const QString& Address, const QString& Port);
  void SetActivity(int Row, TReaderActivity Activity);
  // Steps of Maximum records of the row's download.
  void SetProgress(int Row, int Steps, int Maximum);
  void SetOutcome(int Row, const TVisit& Visit);
  // The rows still waiting were never visited.
  void EndRun();

  TReaderCounts Counts() const;
  bool Ended(int Row) const;
  // Over every download: the records stepped through, and those planned, where a visit that has
  // ended plans no more than it took.
  int StepsTaken() const;
  int StepsPlanned() const;

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

 private:
  struct TRow {
    QString Reader;
    TReaderActivity Activity = TReaderActivity::Waiting;
    int Steps = 0;
    int Maximum = 0;
    std::optional<TVisit> Outcome;
  };
  QVariant RowData(const TRow& Row, int Column, int Role) const;
  void StatusChanged(int Row);

  std::vector<TRow> Rows;
};
