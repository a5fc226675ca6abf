#include <gtest/gtest.h>

#include <QCoreApplication>

#include <QEvent>
#include <QImage>
#include <QWindow>

#include "Errors.h"
#include "Gauges.h"
#include "TestSupport.h"

namespace {

constexpr QRgb Black = 0xFF000000;
constexpr QRgb White = 0xFFFFFFFF;

class TPaintCounter : public QObject {
 public:
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

TEST(Gauge, PercentDoneIsTruncatedAndProgressClamped) {
  TGauge gauge(nullptr);
  EXPECT_EQ(gauge.PercentDone(), 0);
  gauge.SetMaxValue(3);
  gauge.AddProgress(1);
  gauge.AddProgress(1);
  EXPECT_EQ(gauge.PercentDone(), 66);
  gauge.AddProgress(5);
  EXPECT_EQ(gauge.Progress(), 3);
  EXPECT_EQ(gauge.PercentDone(), 100);
  gauge.SetMaxValue(2);
  EXPECT_EQ(gauge.Progress(), 2);

  TGauge single(nullptr);
  single.SetMaxValue(1);
  single.AddProgress(1);
  EXPECT_EQ(single.PercentDone(), 100);

  TGauge flat(nullptr);
  flat.SetMaxValue(0);
  EXPECT_EQ(flat.PercentDone(), 0);
}

TEST(Gauge, LimitsOutsideTheOtherLimitAreRefused) {
  TGauge gauge(nullptr);
  try {
    gauge.SetMaxValue(-1);
    FAIL();
  } catch (const EInvalidOperation& error) {
    EXPECT_STREQ(error.what(), "Value must be between 1 and 2147483647");
  }
  try {
    gauge.SetMinValue(101);
    FAIL();
  } catch (const EInvalidOperation& error) {
    EXPECT_STREQ(error.what(), "Value must be between -2147483647 and 99");
  }
  gauge.SetProgress(50);
  gauge.SetMinValue(60);
  EXPECT_EQ(gauge.Progress(), 60);
}

TEST(Gauge, StepsSchedulePaintsThatCoalesceEvenWithoutANewPercentage) {
  TGauge gauge(nullptr);
  gauge.resize(418, 22);
  gauge.SetMaxValue(1000);
  gauge.show();
  ASSERT_TRUE(WaitUntil([&] { return gauge.windowHandle() != nullptr && gauge.windowHandle()->isExposed(); }, 5000));
  TPaintCounter counter;
  gauge.installEventFilter(&counter);
  gauge.AddProgress(1);
  EXPECT_EQ(counter.Paints, 0);  // nothing painted while the step runs
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.Paints, 1);
  gauge.AddProgress(1);
  gauge.AddProgress(1);
  QCoreApplication::processEvents();
  EXPECT_EQ(gauge.PercentDone(), 0);
  EXPECT_EQ(counter.Paints, 2);
  gauge.SetProgress(4);  // same percentage: no paint
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.Paints, 2);
}

// Columns of row Y, from X0 to X1, holding Colour.
int CountInRow(const QImage& Image, int Y, int X0, int X1, QRgb Colour) {
  int count = 0;
  for (int x = X0; x <= X1; ++x) count += Image.pixel(x, Y) == Colour ? 1 : 0;
  return count;
}

TEST(Gauge, PaintsFrameBarAndInvertedText) {
  TGauge gauge(nullptr);
  gauge.resize(418, 22);
  gauge.SetProgress(50);
  const QImage image = gauge.Render();
  // The frame is black all round.
  for (int x = 0; x < 418; ++x) {
    ASSERT_EQ(image.pixel(x, 0), Black) << x;
    ASSERT_EQ(image.pixel(x, 21), Black) << x;
  }
  EXPECT_EQ(image.pixel(0, 10), Black);
  EXPECT_EQ(image.pixel(417, 10), Black);
  // Inner width 416: the bar ends before the absolute x coordinate 208.
  EXPECT_EQ(image.pixel(5, 2), Black);
  EXPECT_EQ(image.pixel(207, 1), Black);
  EXPECT_EQ(image.pixel(208, 1), White);
  EXPECT_EQ(image.pixel(410, 20), White);
  // The text "50%" straddles the bar's edge: white pixels on the bar, black on the empty part.
  int whiteOnBar = 0;
  int blackOnEmpty = 0;
  for (int y = 2; y < 20; ++y) {
    whiteOnBar += CountInRow(image, y, 150, 207, White);
    blackOnEmpty += CountInRow(image, y, 208, 260, Black);
  }
  EXPECT_GT(whiteOnBar, 5);
  EXPECT_GT(blackOnEmpty, 5);
}

TEST(Gauge, AFullBarLeavesTheLastInnerColumnAndTheTextCanBeOff) {
  TGauge gauge(nullptr);
  gauge.resize(418, 22);
  gauge.ShowText = false;
  gauge.SetProgress(100);
  const QImage image = gauge.Render();
  EXPECT_EQ(CountInRow(image, 10, 1, 415, Black), 415);
  EXPECT_EQ(image.pixel(416, 10), White);  // the bar's edge is F = 416, not 1 + 416
  gauge.SetProgress(0);
  EXPECT_EQ(CountInRow(gauge.Render(), 10, 1, 416, White), 416);
}

TEST(Gauge, ColoursAndBorderStyleApply) {
  TGauge gauge(nullptr);
  gauge.resize(100, 10);
  gauge.ShowText = false;
  gauge.BorderStyle = TBorderStyle::bsNone;
  gauge.ForeColor = QColor(0, 0, 255);
  gauge.BackColor = QColor(255, 255, 0);
  gauge.SetProgress(50);
  const QImage image = gauge.Render();
  EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 255));
  EXPECT_EQ(image.pixel(49, 9), qRgb(0, 0, 255));
  EXPECT_EQ(image.pixel(50, 0), qRgb(255, 255, 0));
  EXPECT_EQ(image.pixel(99, 9), qRgb(255, 255, 0));
}

}  // namespace
