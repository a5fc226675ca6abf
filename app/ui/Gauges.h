#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

enum class TGaugeKind { gkHorizontalBar };
enum class TBorderStyle { bsNone, bsSingle };

// A percentage bar. Paints off-screen first, combining images by exclusive-or so the text comes
// out dark over the empty part and light over the bar.
class TGauge : public QWidget {
 public:
  explicit TGauge(QWidget* Owner);

  int MinValue() const { return Min; }
  int MaxValue() const { return Max; }
  int Progress() const { return Value; }
  void SetMinValue(int V);  // raises EInvalidOperation above MaxValue
  void SetMaxValue(int V);  // raises EInvalidOperation below MinValue
  // Paints are scheduled, never immediate: steps between two turns of the event loop coalesce
  // into one paint, so a page of records costs one paint, not 33.
  void SetProgress(int V);  // clamps; schedules a paint only when the percentage changes
  void AddProgress(int Delta);  // always schedules a paint
  int PercentDone() const;

  // The picture paintEvent puts on screen.
  QImage Render() const;

  TGaugeKind Kind = TGaugeKind::gkHorizontalBar;
  bool ShowText = true;
  TBorderStyle BorderStyle = TBorderStyle::bsSingle;
  QColor ForeColor = Qt::black;
  QColor BackColor = Qt::white;

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  int Min = 0;
  int Max = 100;
  int Value = 0;
};
