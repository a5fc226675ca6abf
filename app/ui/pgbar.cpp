#include "pgbar.h"

#include "WindowPlacement.h"

namespace {

constexpr QSize ClientSize(418, 22);
constexpr int FontPixelHeight = 11;

}  // namespace

Tpbar::Tpbar(QWidget* Owner, const QString& Caption, int Maximum)
    : QWidget(Owner, Qt::Tool), bar(new TGauge(this)) {
  setObjectName(QStringLiteral("pbar"));
  setWindowTitle(Caption);
  setFixedSize(ClientSize);
  UseDefaultFont(*this, FontPixelHeight);
  bar->setGeometry(rect());
  bar->SetMinValue(0);
  bar->SetMaxValue(Maximum);
  bar->SetProgress(0);
  CentreOnScreen(*this);
  show();
}

void Tpbar::Step() {
  bar->AddProgress(1);
}
