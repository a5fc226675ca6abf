#include "ReaderTableWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "Gauges.h"
#include "ReaderTableModel.h"
#include "WindowPlacement.h"

namespace {

constexpr int WindowWidth = 640;
constexpr int GaugeHeight = 22;
// More rows than this scroll: the window stays on a small screen.
constexpr int MostRowsShown = 14;

}  // namespace

void SetUpReaderTable(QTableView& Table, QAbstractItemModel& Model) {
  Table.setModel(&Model);
  Table.verticalHeader()->hide();
  Table.horizontalHeader()->setStretchLastSection(true);
  Table.horizontalHeader()->setHighlightSections(false);
  Table.setSelectionBehavior(QAbstractItemView::SelectRows);
  Table.setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table.setShowGrid(false);
  Table.setWordWrap(false);
  Table.setAlternatingRowColors(true);
  Table.setFocusPolicy(Qt::NoFocus);  // a list to read: no cell to mark as current
}

TReaderTableWindow::TReaderTableWindow()
    : Counts(new QLabel(this)),
      Table(new QTableView(this)),
      Bar(new TGauge(this)),
      Buttons(new QDialogButtonBox(QDialogButtonBox::Close, this)),
      Rows(new TReaderTableModel(this)) {
  setObjectName(QStringLiteral("ReaderTable"));
  setWindowTitle(QStringLiteral("Quillmere"));
  setWindowIcon(ProgramIcon());
  SetUpReaderTable(*Table, *Rows);
  Bar->setFixedHeight(GaugeHeight);
  Buttons->hide();
  connect(Buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
  auto* layout = new QVBoxLayout(this);
  // Texts that grow as the run goes on must not resize the window: without a window manager
  // (offscreen), every new minimum size would be a warning on standard error, in the journal.
  layout->setSizeConstraint(QLayout::SetNoConstraint);
  layout->addWidget(Counts);
  layout->addWidget(Table);
  layout->addWidget(Bar);
  layout->addWidget(Buttons);
  Refresh();
}

void TReaderTableWindow::ShowCentred() {
  Table->resizeColumnToContents(TReaderTableModel::ReaderColumn);
  ShowTableWindow(*this, *Table, Rows->rowCount(), WindowWidth, MostRowsShown);
}

void TReaderTableWindow::Refresh() {
  const TReaderCounts counts = Rows->Counts();
  Counts->setText(CountsText(counts));
  // Once nothing is left to do the gauge is full, also when failures cut downloads short.
  const bool over = counts.AtWork == 0 && counts.Waiting == 0;
  const int planned = over ? std::max(Rows->StepsPlanned(), 1) : Rows->StepsPlanned();
  Bar->SetMaxValue(planned);
  Bar->SetProgress(over ? planned : Rows->StepsTaken());
}

void TReaderTableWindow::closeEvent(QCloseEvent* Event) {
  if (Running) {
    CloseWanted = true;
    Event->ignore();
    return;
  }
  Event->accept();
}

bool TReaderTableWindow::StaysOpen(bool PersonCanRead) {
  Rows->EndRun();
  Running = false;
  Refresh();
  if (!PersonCanRead || CloseWanted || Rows->Counts().Failed == 0) {
    close();
    return false;
  }
  Buttons->show();
  Buttons->button(QDialogButtonBox::Close)->setFocus();
  resize(width(), sizeHint().height());
  setAttribute(Qt::WA_DeleteOnClose);
  connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &QObject::deleteLater);
  raise();
  activateWindow();
  return true;
}

void EndShowing(std::unique_ptr<TReaderTableWindow> Window, bool PersonCanRead) {
  if (Window->StaysOpen(PersonCanRead)) static_cast<void>(Window.release());  // deletes itself once closed
}
