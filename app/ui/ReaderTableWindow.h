#pragma once

#include <QWidget>

#include <memory>

class QAbstractItemModel;
class QDialogButtonBox;
class QLabel;
class QTableView;
class TGauge;
class TReaderTableModel;

// A table of readers to read, a row each: no grid, no cell to edit or mark.
void SetUpReaderTable(QTableView& Table, QAbstractItemModel& Model);

// The window of a run that visits readers side by side: how many have finished, failed or are
// at work, a row per reader, and one gauge over all downloads. A close while the run goes on is
// only noted, as the status window does.
class TReaderTableWindow : public QWidget {
 public:
  TReaderTableWindow();

  TReaderTableModel& Model() { return *Rows; }
  const TReaderTableModel& Model() const { return *Rows; }
  // Sized to the rows the model holds so far, and shown in the middle of the screen.
  void ShowCentred();
  // The counts and the gauge, as the model now stands.
  void Refresh();

  QLabel* Counts;
  QTableView* Table;
  TGauge* Bar;
  QDialogButtonBox* Buttons;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  friend void EndShowing(std::unique_ptr<TReaderTableWindow> Window, bool PersonCanRead);
  bool StaysOpen(bool PersonCanRead);

  TReaderTableModel* Rows;
  bool Running = true;
  bool CloseWanted = false;
};

// The run has ended. The window closes, unless a reader failed and a person can read it who has
// not asked to close it: then it shows its summary and a Close button, outlives whatever showed
// it, and goes when closed (or when the program quits).
void EndShowing(std::unique_ptr<TReaderTableWindow> Window, bool PersonCanRead);
