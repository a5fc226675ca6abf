#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

#include "RunLock.h"

class QLabel;
class QPushButton;
class QTableView;
class TSiteConnection;
class THolderViewModel;

// The readers window of a start that found logs.mdb held by a watch or a run: what the holder
// does, read from the file about once a second, a row per reader, with the holder and the
// counts above. "Collect now" asks a watch for a pass of every reader; only a user who may
// write the file sees it. Reading and asking change nothing else: closing the window leaves
// the holder at work.
class THolderView : public QWidget {
 public:
  explicit THolderView(QString DatabasePath);
  ~THolderView() override;

  void ShowCentred();
  // Reads the file again and shows what it holds, or why it cannot be read now.
  void Refresh();
  // Asks the watch for a pass of every reader; says how that went below the table.
  void CollectNow();

  THolderViewModel& Model() { return *Rows; }
  QLabel* Holder;
  QLabel* Counts;
  QTableView* Table;
  QLabel* Asked;
  QPushButton* Collect;  // null for a user who may not write the file

 private:
  TSiteConnection& Connection();

  QString DatabasePath;
  THolderViewModel* Rows;
  TRunLockLook Holding;  // before the connection, which goes first
  std::unique_ptr<TSiteConnection> Open;
  QTimer Refreshing;
};
