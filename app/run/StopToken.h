#pragma once

#include <QString>

#include <functional>
#include <utility>

// What asks a pass to end before its work is done. The pass reads it at each step and before
// each page, so a stop never cuts a page's transaction: what was stored stays committed, the
// reader is unlocked, and the visit ends interrupted, for Why.
class TStopToken {
 public:
  TStopToken() = default;  // never given
  TStopToken(std::function<bool()> AGiven, QString AWhy) : IsGiven(std::move(AGiven)), Reason(std::move(AWhy)) {}

  bool Given() const { return IsGiven && IsGiven(); }
  const QString& Why() const { return Reason; }

 private:
  std::function<bool()> IsGiven;
  QString Reason;
};
