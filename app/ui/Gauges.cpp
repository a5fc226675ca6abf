#include "Gauges.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <climits>

#include "Errors.h"

namespace {

[[noreturn]] void OutOfRange(int Low, int High) {
  throw EInvalidOperation(QString::asprintf("Value must be between %d and %d", Low, High).toStdString());
}

QImage BlackImage(QSize Size) {
  QImage image(Size, QImage::Format_RGB32);
  image.fill(Qt::black);
  return image;
}

void XorInto(QImage& Target, const QImage& Source) {
  const int width = Target.width();
  const int height = Target.height();
  for (int y = 0; y < height; ++y) {
    auto* dst = reinterpret_cast<QRgb*>(Target.scanLine(y));
    const auto* src = reinterpret_cast<const QRgb*>(Source.constScanLine(y));
    for (int x = 0; x < width; ++x) dst[x] = 0xFF000000u | ((dst[x] ^ src[x]) & 0x00FFFFFFu);
  }
}

}  // namespace

TGauge::TGauge(QWidget* Owner) : QWidget(Owner) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

int TGauge::PercentDone() const {
  if (Max == Min) return 0;
  return static_cast<int>(100.0 * (static_cast<double>(Value) - Min) / (static_cast<double>(Max) - Min));
}

void TGauge::SetMinValue(int V) {
  if (V == Min) return;
  if (V > Max) OutOfRange(-INT_MAX, Max - 1);
  Min = V;
  Value = std::max(Value, Min);
  update();
}

void TGauge::SetMaxValue(int V) {
  if (V == Max) return;
  if (V < Min) OutOfRange(Min + 1, INT_MAX);
  Max = V;
  Value = std::min(Value, Max);
  update();
}

void TGauge::SetProgress(int V) {
  const int before = PercentDone();
  const int clamped = std::clamp(V, Min, Max);
  if (clamped == Value) return;
  Value = clamped;
  if (PercentDone() != before) update();
}

void TGauge::AddProgress(int Delta) {
  SetProgress(static_cast<int>(std::clamp(static_cast<long long>(Value) + Delta, static_cast<long long>(INT_MIN),
                                          static_cast<long long>(INT_MAX))));
  update();
}

QImage TGauge::Render() const {
  QImage image = BlackImage(size());
  const int inset = BorderStyle == TBorderStyle::bsSingle ? 1 : 0;
  const int left = inset;
  const int top = inset;
  const int right = width() - 1 - inset;
  const int bottom = height() - 1 - inset;
  const int innerWidth = right - left + 1;
  const int innerHeight = bottom - top + 1;

  QImage bar = BlackImage(size());
  {
    QPainter painter(&bar);
    painter.fillRect(QRect(left, top, innerWidth, innerHeight), BackColor);
    // The bar's right edge is the absolute x coordinate F, not left + F.
    const int filled = std::min(static_cast<int>(innerWidth * PercentDone() * 0.01), innerWidth);
    if (filled >= 1) painter.fillRect(QRect(QPoint(left, top), QPoint(filled - 1, innerHeight)), ForeColor);
  }
  XorInto(image, bar);

  if (ShowText) {
    QImage text = BlackImage(size());
    QPainter painter(&text);
    QFont textFont = font();
    textFont.setStyleStrategy(QFont::NoAntialias);
    painter.setFont(textFont);
    painter.setPen(Qt::white);
    painter.setClipRect(QRect(left, top, innerWidth, innerHeight));
    const QString label = QString::asprintf("%d%%", PercentDone());
    const QFontMetrics metrics(textFont);
    const int x = (innerWidth - metrics.horizontalAdvance(label)) / 2;
    const int y = (innerHeight - metrics.height()) / 2;
    painter.drawText(QPoint(x, y + metrics.ascent()), label);
    painter.end();
    XorInto(image, text);
  }
  return image;
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter(this).drawImage(0, 0, Render());
}
