#include "VisitOutcome.h"

#include <iterator>
#include <string_view>

namespace {

constexpr bool RowsFollowTheType() {
  for (std::size_t row = 0; row < std::size(VisitOutcomes::Table); ++row) {
    if (static_cast<std::size_t>(VisitOutcomes::Table[row].Outcome) != row) return false;
  }
  return std::size(VisitOutcomes::Table) == static_cast<std::size_t>(TVisitOutcome::LineDown) + 1;
}

// The column and the check tell outcomes apart by their text alone.
constexpr bool TextsDistinct() {
  for (const TOutcomeMeaning& one : VisitOutcomes::Table) {
    if (std::string_view(one.Text).empty()) return false;
    for (const TOutcomeMeaning& other : VisitOutcomes::Table) {
      if (&one != &other && std::string_view(one.Text) == std::string_view(other.Text)) return false;
    }
  }
  return true;
}

static_assert(RowsFollowTheType(), "a row per outcome, in the order of TVisitOutcome");
static_assert(TextsDistinct(), "each outcome its own text");

}  // namespace

QString OutcomeText(TVisitOutcome Outcome) {
  return QString::fromLatin1(MeaningOf(Outcome).Text);
}

QStringList NonFailureTexts() {
  QStringList texts;
  for (const TOutcomeMeaning& meaning : VisitOutcomes::Table) {
    if (!meaning.Failure) texts << QString::fromLatin1(meaning.Text);
  }
  return texts;
}

std::optional<TVisitOutcome> OutcomeNamed(const QString& Text) {
  for (const TOutcomeMeaning& meaning : VisitOutcomes::Table) {
    if (Text == QLatin1String(meaning.Text)) return meaning.Outcome;
  }
  return std::nullopt;
}
