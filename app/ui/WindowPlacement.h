#pragma once

#include <QIcon>
#include <QWidget>

void CentreOnScreen(QWidget& Window);

// The platform's default sans-serif font at a character height in pixels.
void UseDefaultFont(QWidget& Window, int PixelHeight);

// The program icon, drawn rather than shipped as a file.
QIcon ProgramIcon();
