#include "WindowPlacement.h"

#include <QFont>
#include <QHeaderView>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

#include <algorithm>

void CentreOnScreen(QWidget& Window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  Window.move(area.center() - QPoint(Window.width() / 2, Window.height() / 2));
}

void UseDefaultFont(QWidget& Window, int PixelHeight) {
  QFont font(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(PixelHeight);
  Window.setFont(font);
}

QIcon ProgramIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x2d, 0x5b, 0x8a));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(6, 2, 20, 28), 4, 4);
  painter.setBrush(QColor(0x9f, 0xd3, 0x56));
  painter.drawEllipse(QRectF(12, 6, 8, 8));
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(10, 18, 12, 2));
  painter.drawRect(QRectF(10, 23, 12, 2));
  painter.end();
  return QIcon(pixmap);
}

void ShowTableWindow(QWidget& Window, QTableView& Table, int Rows, int Width, int MostRowsShown) {
  const int rowsShown = std::clamp(Rows, 1, MostRowsShown);
  Table.setMinimumHeight(Table.horizontalHeader()->sizeHint().height() + rowsShown * Table.verticalHeader()->defaultSectionSize() +
                         2 * Table.frameWidth());
  Window.resize(Width, Window.sizeHint().height());
  CentreOnScreen(Window);
  Window.show();
}
