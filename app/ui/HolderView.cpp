#include "HolderView.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QTime>
#include <QVBoxLayout>

#include <algorithm>

#include "AccessRefusal.h"
#include "CollectRequests.h"
#include "Errors.h"
#include "HolderViewModel.h"
#include "ReaderEdit.h"
#include "ReaderTableModel.h"
#include "ReaderTableWindow.h"
#include "RunLock.h"
#include "SiteConnection.h"
#include "Transaction.h"
#include "WindowPlacement.h"

namespace {

constexpr int RefreshEveryMs = 1000;
constexpr int WindowWidth = 900;
constexpr int MostRowsShown = 14;

QString HolderText(const TWatchView& View, bool Held, const QString& Path) {
  if (View.Watch) return QStringLiteral("The watch has held %1 since %2 (process %3).").arg(Path, View.Watch->Started).arg(View.Watch->Pid);
  if (Held) return QStringLiteral("A run holds %1: its readers' visits as they go.").arg(Path);
  return QStringLiteral("Nothing holds %1 now: start Quillmere again to collect.").arg(Path);
}

void ShowFailure(QLabel& Label, const QString& Text) {
  Label.setText(Text);
  Label.setStyleSheet(QStringLiteral("color: %1").arg(FailureColor.name()));
}

void ShowNews(QLabel& Label, const QString& Text) {
  Label.setText(Text);
  Label.setStyleSheet({});
}

}  // namespace

THolderView::THolderView(QString ADatabasePath)
    : Holder(new QLabel(this)),
      Counts(new QLabel(this)),
      Table(new QTableView(this)),
      Asked(new QLabel(this)),
      Collect(nullptr),
      DatabasePath(std::move(ADatabasePath)),
      Rows(new THolderViewModel(this)),
      Holding(DatabasePath) {
  setObjectName(QStringLiteral("HolderView"));
  setWindowTitle(QStringLiteral("Quillmere"));
  setWindowIcon(ProgramIcon());
  SetUpReaderTable(*Table, *Rows);
  Holder->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
  // Asking needs the file written; a user who may only read sees what is done, not the button.
  if (AccessRefusal(DatabasePath, TAccessNeed::ReadWrite).isEmpty()) {
    Collect = buttons->addButton(QStringLiteral("Collect now"), QDialogButtonBox::ActionRole);
    connect(Collect, &QPushButton::clicked, this, [this] { CollectNow(); });
  }
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetNoConstraint);
  for (QWidget* widget : {static_cast<QWidget*>(Holder), static_cast<QWidget*>(Counts), static_cast<QWidget*>(Table),
                          static_cast<QWidget*>(Asked), static_cast<QWidget*>(buttons)}) {
    layout->addWidget(widget);
  }
  connect(&Refreshing, &QTimer::timeout, this, [this] { Refresh(); });
  Refreshing.start(RefreshEveryMs);
  Refresh();
}

THolderView::~THolderView() = default;

void THolderView::ShowCentred() {
  for (int column = 0; column < THolderViewModel::LastColumn; ++column) Table->resizeColumnToContents(column);
  // Room for the longest step before any pass shows one.
  const int longestStep = Table->fontMetrics().horizontalAdvance(QStringLiteral("downloading 65535 of 65535 records")) +
                          2 * Table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 8;
  Table->horizontalHeader()->resizeSection(THolderViewModel::NowColumn,
                                           std::max(longestStep, Table->horizontalHeader()->sectionSize(THolderViewModel::NowColumn)));
  ShowTableWindow(*this, *Table, Rows->rowCount(), WindowWidth, MostRowsShown);
}

// Opened at the first look that can: the file may be out of reach when the window opens.
TSiteConnection& THolderView::Connection() {
  if (!Open) Open = std::make_unique<TSiteConnection>(DatabasePath, Collect != nullptr ? TAccess::Write : TAccess::Read);
  return *Open;
}

void THolderView::Refresh() {
  try {
    Rows->Show(ReadWatchView(Connection().Db()));
  } catch (const std::exception& Error) {
    ShowFailure(*Counts, QStringLiteral("%1 cannot be read now: %2").arg(DatabasePath, QString::fromLocal8Bit(Error.what())));
    return;
  }
  const bool held = Holding.Held();
  Holder->setText(HolderText(Rows->Shown(), held, DatabasePath));
  ShowNews(*Counts, HolderCountsText(Rows->Counts()));
  if (Collect != nullptr) Collect->setEnabled(Rows->Shown().Watch.has_value());
}

void THolderView::CollectNow() {
  try {
    TSiteConnection& connection = Connection();
    const std::vector<TReaderEntry> rows = NamingRows(connection);
    TTransaction transaction(connection.Native());
    for (const TReaderEntry& row : rows) AskCollect(connection.Db(), row.Address, row.Port);
    transaction.Commit();
    ShowNews(*Asked, QStringLiteral("Asked the watch for a pass of %1 readers at %2; each runs as soon as its line allows.")
                         .arg(rows.size())
                         .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
  } catch (const std::exception& Error) {
    ShowFailure(*Asked, QStringLiteral("The watch could not be asked: ") + QString::fromLocal8Bit(Error.what()));
  }
}
