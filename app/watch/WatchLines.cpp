#include "WatchLines.h"

#include <vector>

#include "Clock.h"

void TWatchLines::Put(const TLineState& State) {
  const std::lock_guard held(Lock);
  Dirty[{State.Address, State.Port}] = State;
}

void TWatchLines::Forget(const QString& Address, const QString& Port) {
  const std::lock_guard held(Lock);
  Dirty[{Address, Port}] = std::nullopt;
}

void TWatchLines::Flush(const QSqlDatabase& Db) {
  std::map<TKey, std::optional<TLineState>> taken;
  {
    const std::lock_guard held(Lock);
    taken.swap(Dirty);
  }
  if (taken.empty()) return;
  std::vector<TLineState> changed;
  std::vector<TLineState> gone;
  for (const auto& [key, state] : taken) {
    if (state) {
      changed.push_back(*state);
    } else {
      TLineState row;
      row.Address = key.first;
      row.Port = key.second;
      gone.push_back(row);
    }
  }
  try {
    WriteLineStates(Db, changed, gone);
  } catch (...) {
    // What was put meanwhile is newer than what failed.
    const std::lock_guard held(Lock);
    Dirty.merge(taken);
    throw;
  }
}

class TLineReport::TProgress final : public IDownloadProgress {
 public:
  explicit TProgress(TLineReport& AReport) : Report(AReport) {}
  void Step() override {
    ++Report.State.Steps;
    Report.Lines.Put(Report.State);
  }
  void Hide() override {}

 private:
  TLineReport& Report;
};

TLineReport::TLineReport(TWatchLines& ALines, const QString& Address, const QString& Port) : Lines(ALines) {
  State.Address = Address;
  State.Port = Port;
  State.Since = Now();
  Lines.Put(State);
}

void TLineReport::Up() {
  if (State.Line != TLineState::TLine::Up) Line(TLineState::TLine::Up);
}

void TLineReport::Down() {
  Line(TLineState::TLine::Down);
}

void TLineReport::Line(TLineState::TLine Line) {
  State.Line = Line;
  State.Since = Now();
  Lines.Put(State);
}

void TLineReport::PassEnded() {
  State.Step.clear();
  State.Steps = 0;
  State.Maximum = 0;
  Lines.Put(State);
}

// A pass that steps has made its line: a first one is up from here, not still connecting.
void TLineReport::Stepped(TPassStep Step) {
  if (State.Line == TLineState::TLine::Connecting) {
    State.Line = TLineState::TLine::Up;
    State.Since = Now();
  }
  State.Step = StepName(Step);
  Lines.Put(State);
}

std::unique_ptr<IDownloadProgress> TLineReport::OpenProgress(int Records) {
  State.Steps = 0;
  State.Maximum = Records;
  Lines.Put(State);
  return std::make_unique<TProgress>(*this);
}
