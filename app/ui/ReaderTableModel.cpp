#include "ReaderTableModel.h"

#include <QApplication>
#include <QBrush>
#include <QStyle>

#include <utility>

const QColor FailureColor(0xB0, 0x00, 0x20);

namespace {

// "1 record", "3300 records".
QString Counted(int Count, const QString& One, const QString& Many) {
  return QStringLiteral("%1 %2").arg(Count).arg(Count == 1 ? One : Many);
}

}  // namespace

QString ActivityText(TReaderActivity Activity, int Steps, int Maximum) {
  switch (Activity) {
    case TReaderActivity::Waiting: return QStringLiteral("waiting its turn");
    case TReaderActivity::Connecting: return QStringLiteral("connecting");
    case TReaderActivity::Locking: return QStringLiteral("locking");
    case TReaderActivity::SettingOptions: return QStringLiteral("setting options");
    case TReaderActivity::ReadingLogSize: return QStringLiteral("reading the log size");
    case TReaderActivity::Downloading:
      return Maximum > 0 ? QStringLiteral("downloading %1 of %2").arg(Steps).arg(Counted(Maximum, "record", "records"))
                         : QStringLiteral("downloading");
    case TReaderActivity::Clearing: return QStringLiteral("clearing");
    case TReaderActivity::Unlocking: return QStringLiteral("unlocking");
    case TReaderActivity::NotAnswering: return QStringLiteral("not answering");
    case TReaderActivity::NotVisited: return QStringLiteral("not visited: the run stopped before this row");
  }
  return {};
}

namespace {

QString ClearText(const TVisit& Visit) {
  if (Visit.Cleared) return QStringLiteral("cleared");
  // Clear after is off: keeping the log is what was asked, no failure.
  if (!Visit.ClearSkipped) return QStringLiteral("log kept");
  // The reason follows this phrase in the detail of a visit that skipped its clear.
  const QString skipped = QStringLiteral("not cleared: ");
  const qsizetype reason = Visit.Detail.indexOf(skipped);
  return reason >= 0 ? Visit.Detail.mid(reason) : QStringLiteral("not cleared");
}

}  // namespace

QString OutcomeSummary(const TVisit& Visit) {
  if (MeaningOf(Visit.Outcome).ShownFailed) {
    QString text = OutcomeText(Visit.Outcome).replace('_', ' ') + QStringLiteral(": ") + Visit.Detail;
    if (Visit.Added > 0) text += QStringLiteral("; %1 first").arg(Counted(Visit.Added, "record added", "records added"));
    return text;
  }
  QStringList parts = {Counted(Visit.Added, "record added", "records added"), Counted(Visit.Duplicates, "duplicate", "duplicates")};
  if (Visit.Invalid > 0) parts << Counted(Visit.Invalid, "invalid", "invalid");
  if (Visit.ClockSet) parts << QStringLiteral("clock set");
  parts << ClearText(Visit);
  return QStringLiteral("done: ") + parts.join(QStringLiteral(", "));
}

namespace {

bool Failed(const std::optional<TVisit>& Outcome) {
  return Outcome && MeaningOf(Outcome->Outcome).ShownFailed;
}

}  // namespace

TReaderActivity ActivityOf(TPassStep Step) {
  switch (Step) {
    case TPassStep::Locking: return TReaderActivity::Locking;
    case TPassStep::SettingOptions: return TReaderActivity::SettingOptions;
    case TPassStep::ReadingCapacity: return TReaderActivity::ReadingLogSize;
    case TPassStep::Downloading: return TReaderActivity::Downloading;
    case TPassStep::Clearing: return TReaderActivity::Clearing;
    case TPassStep::Unlocking: return TReaderActivity::Unlocking;
    case TPassStep::NoResponse: return TReaderActivity::NotAnswering;
  }
  return TReaderActivity::Connecting;
}

QString CountsText(const TReaderCounts& Counts) {
  QString text = QStringLiteral("%1 of %2 finished").arg(Counts.Finished).arg(Counted(Counts.Total, "reader", "readers"));
  const std::pair<int, const char*> parts[] = {
      {Counts.Failed, "failed"}, {Counts.AtWork, "at work"}, {Counts.Waiting, "waiting"}, {Counts.NotVisited, "not visited"}};
  for (const auto& [count, what] : parts) {
    if (count > 0) text += QStringLiteral(", %1 %2").arg(count).arg(QLatin1String(what));
  }
  return text;
}

int TReaderTableModel::AddReader(const QString& Address, const QString& Port) {
  const int row = static_cast<int>(Rows.size());
  beginInsertRows({}, row, row);
  TRow added;
  added.Reader = Address + ':' + Port;
  Rows.push_back(std::move(added));
  endInsertRows();
  return row;
}

void TReaderTableModel::SetActivity(int Row, TReaderActivity Activity) {
  TRow& row = Rows.at(Row);
  if (row.Outcome || row.Activity == Activity) return;
  row.Activity = Activity;
  StatusChanged(Row);
}

void TReaderTableModel::SetProgress(int Row, int Steps, int Maximum) {
  TRow& row = Rows.at(Row);
  if (row.Outcome || (row.Steps == Steps && row.Maximum == Maximum)) return;
  row.Steps = Steps;
  row.Maximum = Maximum;
  if (row.Activity == TReaderActivity::Downloading) StatusChanged(Row);
}

void TReaderTableModel::SetOutcome(int Row, const TVisit& Visit) {
  Rows.at(Row).Outcome = Visit;
  emit dataChanged(index(Row, ReaderColumn), index(Row, StatusColumn));
}

void TReaderTableModel::EndRun() {
  for (int row = 0; row < rowCount(); ++row) {
    if (Rows[row].Activity == TReaderActivity::Waiting) SetActivity(row, TReaderActivity::NotVisited);
  }
}

void TReaderTableModel::StatusChanged(int Row) {
  emit dataChanged(index(Row, StatusColumn), index(Row, StatusColumn));
}

TReaderCounts TReaderTableModel::Counts() const {
  TReaderCounts counts;
  counts.Total = rowCount();
  for (const TRow& row : Rows) {
    if (row.Outcome) {
      ++(Failed(row.Outcome) ? counts.Failed : counts.Finished);
    } else if (row.Activity == TReaderActivity::Waiting) {
      ++counts.Waiting;
    } else if (row.Activity == TReaderActivity::NotVisited) {
      ++counts.NotVisited;
    } else {
      ++counts.AtWork;
    }
  }
  return counts;
}

bool TReaderTableModel::Ended(int Row) const {
  return Rows.at(Row).Outcome.has_value();
}

int TReaderTableModel::StepsTaken() const {
  int steps = 0;
  for (const TRow& row : Rows) steps += row.Steps;
  return steps;
}

// A reader whose log size is not known yet counts as the average of those known: the gauge must
// not fill while readers still wait their turn.
int TReaderTableModel::StepsPlanned() const {
  int planned = 0;
  int known = 0;
  int sized = 0;
  int unsized = 0;
  for (const TRow& row : Rows) {
    const int size = std::max(row.Steps, row.Maximum);
    if (size > 0) {
      known += size;
      ++sized;
    }
    if (row.Outcome) {
      planned += row.Steps;
    } else if (size > 0) {
      planned += size;
    } else {
      ++unsized;
    }
  }
  return planned + (sized > 0 ? unsized * (known / sized) : 0);
}

int TReaderTableModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(Rows.size());
}

int TReaderTableModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : ColumnCount;
}

QVariant TReaderTableModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount()) return {};
  return RowData(Rows[Index.row()], Index.column(), Role);
}

QVariant TReaderTableModel::RowData(const TRow& Row, int Column, int Role) const {
  const bool failed = Failed(Row.Outcome);
  switch (Role) {
    case Qt::DisplayRole:
      if (Column == ReaderColumn) return Row.Reader;
      return Row.Outcome ? OutcomeSummary(*Row.Outcome) : ActivityText(Row.Activity, Row.Steps, Row.Maximum);
    case Qt::ForegroundRole:
      return failed ? QVariant(QBrush(FailureColor)) : QVariant();
    case Qt::DecorationRole:
      if (Column != StatusColumn || !Row.Outcome) return {};
      return QApplication::style()->standardIcon(failed ? QStyle::SP_MessageBoxCritical : QStyle::SP_DialogApplyButton);
    case Qt::ToolTipRole:
      // Escaped inside rich text: the detail may quote a readers row, which a tooltip would render.
      return Row.Outcome ? QVariant(QStringLiteral("<qt>%1</qt>").arg(Row.Outcome->Detail.toHtmlEscaped())) : QVariant();
    default:
      return {};
  }
}

QVariant TReaderTableModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  return Section == ReaderColumn ? QStringLiteral("Reader") : QStringLiteral("Status");
}
