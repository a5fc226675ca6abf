#pragma once

#include <QIcon>
#include <QTableView>
#include <QWidget>

void CentreOnScreen(QWidget& Window);

// Shows a window around a table of Rows rows at Width, tall enough for them up to MostRowsShown
// (a longer table scrolls), centred on the screen.
void ShowTableWindow(QWidget& Window, QTableView& Table, int Rows, int Width, int MostRowsShown);

// The platform's default sans-serif font at a character height in pixels.
void UseDefaultFont(QWidget& Window, int PixelHeight);

// The program icon, drawn rather than shipped as a file.
QIcon ProgramIcon();
