#include "HolderViewModel.h"

#include <QBrush>
#include <QDate>

#include "LogDatabase.h"
#include "ReaderTableModel.h"

namespace {

// Today's times without their date: the window is read at the desk, the same day.
QString When(const QString& Time) {
  const QString today = QDate::currentDate().toString(Qt::ISODate);
  return Time.startsWith(today) ? Time.mid(today.size() + 1) : Time;
}

bool Collecting(const TReaderView& Reader) {
  if (Reader.Line) return !Reader.Line->Step.isEmpty();
  return Reader.Last && Reader.Last->Outcome == TVisitOutcome::Running;
}

bool Down(const TReaderView& Reader) {
  return Reader.Line && Reader.Line->Line == TLineState::TLine::Down;
}

bool LastFailed(const TReaderView& Reader) {
  return Reader.Last && Reader.Last->Outcome != TVisitOutcome::Running && MeaningOf(Reader.Last->Outcome).ShownFailed;
}

QString LineText(const TReaderView& Reader, bool Watching) {
  if (!Reader.Line) return Watching ? QStringLiteral("not watched") : QString();
  const QString since = When(RecTimeText(Reader.Line->Since));
  switch (Reader.Line->Line) {
    case TLineState::TLine::Up: return QStringLiteral("up since %1").arg(since);
    case TLineState::TLine::Down: return QStringLiteral("down since %1").arg(since);
    case TLineState::TLine::Connecting: break;
  }
  return QStringLiteral("connecting since %1").arg(since);
}

QString NowText(const TReaderView& Reader) {
  if (Reader.Line) {
    const std::optional<TPassStep> step = StepNamed(Reader.Line->Step);
    return step ? ActivityText(ActivityOf(*step), Reader.Line->Steps, Reader.Line->Maximum) : QString();
  }
  if (Reader.Last && Reader.Last->Outcome == TVisitOutcome::Running) {
    return QStringLiteral("collecting: %1 records added so far").arg(Reader.Last->Added);
  }
  return {};
}

QString LastText(const TReaderView& Reader) {
  if (!Reader.Last) return QStringLiteral("never visited");
  if (Reader.Last->Outcome == TVisitOutcome::Running) return QStringLiteral("running since %1").arg(When(Reader.LastTime));
  return QStringLiteral("%1 (%2)").arg(OutcomeSummary(*Reader.Last), When(Reader.LastTime));
}

}  // namespace

QString HolderCountsText(const THolderCounts& Counts) {
  return QStringLiteral("%1 %2: %3 up, %4 down, %5 collecting")
      .arg(Counts.Readers)
      .arg(Counts.Readers == 1 ? QStringLiteral("reader") : QStringLiteral("readers"))
      .arg(Counts.Up)
      .arg(Counts.Down)
      .arg(Counts.Collecting);
}

void THolderViewModel::Show(const TWatchView& AView) {
  const bool sameRows = AView.Readers.size() == View.Readers.size();
  if (!sameRows) beginResetModel();
  View = AView;
  if (!sameRows) {
    endResetModel();
  } else if (rowCount() > 0) {
    emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
  }
}

THolderCounts THolderViewModel::Counts() const {
  THolderCounts counts;
  counts.Readers = rowCount();
  for (const TReaderView& reader : View.Readers) {
    if (reader.Line && reader.Line->Line == TLineState::TLine::Up) ++counts.Up;
    if (Down(reader)) ++counts.Down;
    if (Collecting(reader)) ++counts.Collecting;
  }
  return counts;
}

int THolderViewModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(View.Readers.size());
}

int THolderViewModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : ColumnCount;
}

QString THolderViewModel::Text(const TReaderView& Reader, int Column) const {
  switch (Column) {
    case ReaderColumn: return Reader.Address + ':' + Reader.Port;
    case LineColumn: return LineText(Reader, View.Watch.has_value());
    case NowColumn: return NowText(Reader);
    case LastColumn: return LastText(Reader);
    case TodayColumn: return QString::number(Reader.EventsToday);
    default: return {};
  }
}

QVariant THolderViewModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount()) return {};
  const TReaderView& reader = View.Readers.at(Index.row());
  switch (Role) {
    case Qt::DisplayRole: return Text(reader, Index.column());
    case Qt::ForegroundRole: {
      const bool red = (Index.column() == LineColumn && Down(reader)) || (Index.column() == LastColumn && LastFailed(reader));
      return red ? QVariant(QBrush(FailureColor)) : QVariant();
    }
    case Qt::TextAlignmentRole:
      return Index.column() == TodayColumn ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case Qt::ToolTipRole:
      // Escaped inside rich text: the detail may quote a readers row.
      return Index.column() == LastColumn && reader.Last ? QVariant(QStringLiteral("<qt>%1</qt>").arg(reader.Last->Detail.toHtmlEscaped()))
                                                         : QVariant();
    default: return {};
  }
}

QVariant THolderViewModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  static const char* const Titles[] = {"Reader", "Line", "Now", "Today", "Last visit"};
  return Section >= 0 && Section < ColumnCount ? QString::fromLatin1(Titles[Section]) : QVariant();
}
