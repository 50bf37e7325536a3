// "Did you mean" suggestions for misspelled names and keywords.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quilvar::runtime::statements {

// Levenshtein distance of two words, ignoring case.
inline std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same =
          std::toupper(static_cast<unsigned char>(a[i - 1])) == std::toupper(static_cast<unsigned char>(b[j - 1]));
      const std::size_t substitution = diagonal + (same ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitution});
    }
  }
  return row[b.size()];
}

// Keeps the closest candidate of a word while candidates are offered; only
// one close enough to be a likely typo (a third of the word's letters, at
// least two) counts.
class Suggestion {
 public:
  explicit Suggestion(std::string_view word) : word_(word), limit_(std::max<std::size_t>(2, word.size() / 3) + 1) {}
  void offer(std::string_view candidate) {
    const std::size_t distance = edit_distance(word_, candidate);
    if (distance < limit_) {
      limit_ = distance;
      best_ = candidate;
    }
  }
  // The closest candidate, or empty when nothing was close.
  const std::string& best() const { return best_; }
  // "; did you mean X?", or empty when nothing was close.
  std::string text() const { return best_.empty() ? "" : "; did you mean " + best_ + "?"; }

 private:
  std::string_view word_;
  std::size_t limit_;
  std::string best_;
};

}  // namespace quilvar::runtime::statements
