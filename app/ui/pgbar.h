#pragma once

#include <QWidget>

#include "Gauges.h"

// The progress window of one reader's download: a tool window holding one gauge.
class Tpbar : public QWidget {
 public:
  Tpbar(QWidget* Owner, const QString& Caption, int Maximum);

  void Step();

  TGauge* bar;
};
