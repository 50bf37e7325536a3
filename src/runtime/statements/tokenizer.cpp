// Splits statement text into tokens: names (and library.member names and
// formats, which start like names), numbers, quoted strings with their
// literal suffixes d, t, dt and n, missing values, punctuation and ";".
#include "runtime/statements/tokenizer.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "quilvar/host/missing.hpp"
#include "runtime/statements/characters.hpp"
#include "runtime/statements/literals.hpp"

namespace quilvar::runtime::statements {
namespace {

bool is_name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// The quoted literals whose suffix makes them numbers.
struct TimeLiteral {
  const char* suffix;
  int code;
  const char* name;
  std::optional<double> (*value_of)(std::string_view text);
};
constexpr TimeLiteral kTimeLiterals[] = {
    {"D", host::kTokenDate, "date", date_literal_value},
    {"T", host::kTokenTime, "time", time_literal_value},
    {"DT", host::kTokenDateTime, "datetime", datetime_literal_value},
};

class Scanner {
 public:
  Scanner(std::string_view text, int first_line, const KeywordTable& keywords)
      : text_(text), keywords_(keywords), line_(first_line) {}

  std::vector<Token> scan_all() {
    std::vector<Token> tokens;
    for (;;) {
      Token token = next();
      const bool end = token.code == keywords_.end_code();
      tokens.push_back(std::move(token));
      if (end) return tokens;
    }
  }

 private:
  char at(std::size_t pos) const { return pos < text_.size() ? text_[pos] : '\0'; }

  Token begin_token() const {
    Token token;
    token.line = line_;
    token.column = static_cast<int>(pos_ - line_start_) + 1;
    return token;
  }

  Token finish(Token token, std::size_t begin, int code) const {
    token.code = code;
    token.text = text_.substr(begin, pos_ - begin);
    return token;
  }

  // A number written right but beyond a double: says which end of the range.
  std::string out_of_range(std::size_t begin, std::size_t end) const {
    const std::string text(text_.substr(begin, end - begin));
    const bool tiny = text.find("e-") != std::string::npos || text.find("E-") != std::string::npos;
    return "the number " + text +
           (tiny ? " is too close to 0 to be held as a number (about 2.2E-308 is the smallest): write 0"
                 : " is too large to be held as a number (about 1.8E308 is the largest)");
  }

  Token bad(Token token, std::size_t begin, std::string problem) const {
    token.problem = std::move(problem);
    return finish(std::move(token), begin, kBadToken);
  }

  void advance_over(std::size_t end) {
    for (; pos_ < end; ++pos_) {
      if (text_[pos_] == '\n') {
        ++line_;
        line_start_ = pos_ + 1;
      }
    }
  }

  // Skips blanks and comments; returns false at an unterminated comment.
  bool skip_blanks() {
    for (;;) {
      for (std::size_t blank = blank_length(text_, pos_); blank > 0; blank = blank_length(text_, pos_)) advance_over(pos_ + blank);
      if (at(pos_) != '/' || at(pos_ + 1) != '*') return true;
      const std::size_t close = text_.find("*/", pos_ + 2);
      if (close == std::string_view::npos) return false;
      advance_over(close + 2);
    }
  }

  Token next() {
    if (!skip_blanks()) {
      Token token = begin_token();
      const std::size_t begin = pos_;
      advance_over(text_.size());
      return bad(std::move(token), begin, "unterminated comment");
    }
    const char c = at(pos_);
    if (pos_ >= text_.size()) return finish(begin_token(), pos_, keywords_.end_code());
    if (is_name_start(c)) return read_word();
    if (other_character_length(text_, pos_) > 0) return read_other_word(pos_);
    if (c == '$') return read_dollar_format();
    if (is_digit(c) || (c == '.' && is_digit(at(pos_ + 1)))) return read_number();
    if (c == '.') return read_missing();
    if (c == '\'' || c == '"') return read_quoted();
    return read_punctuation();
  }

  std::size_t name_end(std::size_t from) const {
    while (from < text_.size() && is_name_char(text_[from])) ++from;
    return from;
  }

  // A name, a library.member name, or a format such as best12. or comma8.2.
  Token read_word() {
    Token token = begin_token();
    const std::size_t begin = pos_;
    const std::size_t end = name_end(pos_);
    if (at(end) == '.' && is_name_start(at(end + 1))) {
      advance_over(name_end(end + 1));
      const bool too_long = end - begin > kMaxNameLength || pos_ - end - 1 > kMaxNameLength;
      return too_long ? bad(std::move(token), begin, "name longer than 32 characters") : finish(std::move(token), begin, host::kTokenCompound);
    }
    if (at(end) == '.') return read_format_tail(std::move(token), begin, end);
    if (other_character_length(text_, end) > 0) return read_other_word(end);
    advance_over(end);
    if (end - begin > kMaxNameLength) return bad(std::move(token), begin, "name longer than 32 characters");
    token.keyword = keywords_.word_code(upper_case(text_.substr(begin, end - begin)));
    return finish(std::move(token), begin, host::kTokenName);
  }

  // A word holding letters outside A to Z ("régions"), whose first such
  // letter is at other: a bad token naming that letter (or the byte that
  // is not UTF-8).
  Token read_other_word(std::size_t other) {
    Token token = begin_token();
    const std::size_t begin = pos_;
    std::size_t end = pos_;
    for (std::size_t length = 1; length > 0; end += length) {
      length = is_name_char(at(end)) ? 1 : other_character_length(text_, end);
    }
    advance_over(end);
    char32_t code = 0;
    const std::size_t length = character_length(text_, other, &code);
    if (length == 1 || end - begin == length) return bad(std::move(token), begin, unexpected_character(text_, other));
    std::string problem = "\"";
    problem.append(text_.substr(begin, end - begin)).append("\" holds \"").append(text_.substr(other, length));
    problem.append("\": names take the letters A to Z, digits and underscores");
    return bad(std::move(token), begin, std::move(problem));
  }

  // The "." and decimals of a format whose name ends at dot.
  Token read_format_tail(Token token, std::size_t begin, std::size_t dot) {
    std::size_t end = dot + 1;
    while (is_digit(at(end))) ++end;
    advance_over(end);
    if (is_name_char(at(pos_))) return bad(std::move(token), begin, "invalid format name");
    return finish(std::move(token), begin, host::kTokenFormat);
  }

  Token read_dollar_format() {
    Token token = begin_token();
    const std::size_t begin = pos_;
    const std::size_t end = name_end(pos_ + 1);
    if (at(end) != '.') {
      advance_over(end);
      return bad(std::move(token), begin, "invalid character format");
    }
    return read_format_tail(std::move(token), begin, end);
  }

  Token read_number() {
    Token token = begin_token();
    const std::size_t begin = pos_;
    std::size_t end = pos_;
    bool integer = true;
    while (is_digit(at(end))) ++end;
    if (at(end) == '.') {
      integer = false;
      for (++end; is_digit(at(end));) ++end;
    }
    if ((at(end) == 'e' || at(end) == 'E') &&
        (is_digit(at(end + 1)) || ((at(end + 1) == '+' || at(end + 1) == '-') && is_digit(at(end + 2))))) {
      integer = false;
      for (end += 2; is_digit(at(end));) ++end;
    }
    const auto [stop, error] = std::from_chars(text_.data() + begin, text_.data() + end, token.number);
    if (error == std::errc() && stop == text_.data() + end) {
      if (at(end) == ',' && is_digit(at(end + 1)) && keywords_.punctuation_code(',') == 0)
        return read_number_with_commas(std::move(token), begin, end);
      if (at(end) == '%' && keywords_.punctuation_code('%') == 0) return read_percentage(std::move(token), begin, end);
    }
    advance_over(end);
    const bool whole = stop == text_.data() + end && !is_name_char(at(end));
    if (error == std::errc::result_out_of_range && whole) return bad(std::move(token), begin, out_of_range(begin, end));
    if (error != std::errc() || !whole) return bad(std::move(token), begin, "invalid number");
    return finish(std::move(token), begin, integer ? host::kTokenInteger : host::kTokenNumber);
  }

  // A number written with commas, as thousands separators (100,000) or a
  // decimal comma (0,05): a bad token saying how to write it.
  Token read_number_with_commas(Token token, std::size_t begin, std::size_t end) {
    std::vector<std::string_view> groups{text_.substr(begin, end - begin)};
    while (at(end) == ',' && is_digit(at(end + 1))) {
      std::size_t group_end = end + 1;
      while (is_digit(at(group_end))) ++group_end;
      groups.push_back(text_.substr(end + 1, group_end - end - 1));
      end = group_end;
    }
    advance_over(end);
    const bool thousands = groups[0] != "0" && groups[0].find('.') == std::string_view::npos &&
                           std::all_of(groups.begin() + 1, groups.end(), [](std::string_view g) { return g.size() == 3; });
    std::string whole, decimal;
    for (std::string_view group : groups) whole += group;
    if (groups.size() == 2) decimal.append(groups[0]).append(".").append(groups[1]);
    std::string problem = "a comma in a number: write ";
    if (thousands && groups.size() == 2) {
      problem.append(whole).append(", or ").append(decimal).append(" if the comma is a decimal point (numbers take no separators)");
    } else if (thousands) {
      problem.append(whole).append(" (numbers take no thousands separators)");
    } else if (groups.size() == 2) {
      problem.append(decimal).append(" (numbers take a decimal point)");
    } else {
      problem.append("the number with digits and a decimal point only");
    }
    return bad(std::move(token), begin, std::move(problem));
  }

  // A number followed by "%": a bad token giving the fraction to write.
  Token read_percentage(Token token, std::size_t begin, std::size_t end) {
    advance_over(end + 1);
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, token.number / 100);
    std::string problem = "a percent sign: write ";
    problem.append(text_.substr(begin, end + 1 - begin)).append(" as the fraction ").append(buffer, written.ptr);
    return bad(std::move(token), begin, std::move(problem));
  }

  // "." alone, or ".A" to ".Z" and "._" (in either case).
  Token read_missing() {
    Token token = begin_token();
    const std::size_t begin = pos_;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(at(pos_ + 1))));
    const bool special = is_name_start(letter) && !is_name_char(at(pos_ + 2));
    advance_over(pos_ + (special ? 2 : 1));
    if (is_name_char(at(pos_))) return bad(std::move(token), begin, "invalid missing value");
    token.number = host::missing_value(special ? host::missing_code_for_letter(letter) : host::kMissingCodeStandard);
    return finish(std::move(token), begin, host::kTokenMissing);
  }

  // The closing quote's position, the doubled quotes made single in *value;
  // npos when the text ends first.
  std::size_t find_closing_quote(std::size_t from, char quote, std::string* value) const {
    for (std::size_t i = from; i < text_.size(); ++i) {
      if (text_[i] != quote) {
        *value += text_[i];
      } else if (at(i + 1) == quote) {
        *value += quote;
        ++i;
      } else {
        return i;
      }
    }
    return std::string_view::npos;
  }

  Token read_quoted() {
    Token token = begin_token();
    const std::size_t begin = pos_;
    const std::size_t close = find_closing_quote(pos_ + 1, text_[pos_], &token.value);
    if (close == std::string_view::npos) {
      advance_over(text_.size());
      return bad(std::move(token), begin, "unterminated quoted string");
    }
    const std::size_t suffix_end = name_end(close + 1);
    const std::string suffix = upper_case(text_.substr(close + 1, suffix_end - close - 1));
    const bool literal = suffix == "N" || std::any_of(std::begin(kTimeLiterals), std::end(kTimeLiterals),
                                                      [&](const TimeLiteral& time) { return suffix == time.suffix; });
    advance_over(literal ? suffix_end : close + 1);
    if (!literal) return finish(std::move(token), begin, host::kTokenQuoted);
    return read_literal(std::move(token), begin, suffix);
  }

  Token read_literal(Token token, std::size_t begin, const std::string& suffix) {
    if (suffix == "N") {
      if (token.value.empty() || token.value.size() > kMaxNameLength)
        return bad(std::move(token), begin, "a name literal needs 1 to 32 characters");
      return finish(std::move(token), begin, host::kTokenNameLiteral);
    }
    for (const TimeLiteral& literal : kTimeLiterals) {
      if (suffix != literal.suffix) continue;
      const std::optional<double> value = literal.value_of(token.value);
      if (!value) return bad(std::move(token), begin, std::string("invalid ") + literal.name + " literal");
      token.number = *value;
      return finish(std::move(token), begin, literal.code);
    }
    return finish(std::move(token), begin, host::kTokenQuoted);
  }

  Token read_punctuation() {
    Token token = begin_token();
    const std::size_t begin = pos_;
    const char c = text_[pos_];
    advance_over(pos_ + 1);
    if (c == ';') return finish(std::move(token), begin, host::kTokenEndStatement);
    // "//" comments of other languages would otherwise read as two "/".
    if (c == '/' && at(pos_) == '/') {
      advance_over(pos_ + 1);
      return bad(std::move(token), begin, not_a_comment("//"));
    }
    const int code = keywords_.punctuation_code(c);
    if (code != 0) return finish(std::move(token), begin, code);
    char32_t ignored = 0;
    advance_over(begin + character_length(text_, begin, &ignored));
    return bad(std::move(token), begin, unexpected_character(text_, begin));
  }

  std::string_view text_;
  const KeywordTable& keywords_;
  std::size_t pos_ = 0;
  std::size_t line_start_ = 0;
  int line_;
};

}  // namespace

std::string KeywordTable::load(const host::GrammarRecord& record) {
  names_.clear();
  words_.clear();
  std::fill(std::begin(punctuation_), std::end(punctuation_), 0);
  const int count = record.header[2];
  if (record.keyword_list == nullptr || count <= static_cast<int>(record.token_classes)) return "the keyword list is missing";
  const std::uint8_t* entry = record.keyword_list;
  for (int code = 1; code <= count; ++code) {
    if (entry[0] == 0) return "the keyword list ends before entry " + std::to_string(code);
    const std::string name(reinterpret_cast<const char*>(entry + 1), entry[0]);
    names_.push_back(name);
    entry += 1 + entry[0];
    if (code <= static_cast<int>(record.token_classes) || code == count) continue;
    if (name.size() == 1 && !is_name_char(name[0])) punctuation_[static_cast<unsigned char>(name[0])] = code;
    const bool alternative = name.size() > 1 && name.back() == '$';
    words_.emplace(alternative ? name.substr(0, name.size() - 1) : name, code);
  }
  return entry[0] == 0 ? "" : "the keyword list has more than " + std::to_string(count) + " entries";
}

int KeywordTable::word_code(std::string_view upper_word) const {
  const auto found = words_.find(std::string(upper_word));
  return found == words_.end() ? 0 : found->second;
}

int KeywordTable::punctuation_code(char c) const { return punctuation_[static_cast<unsigned char>(c)]; }

std::string_view KeywordTable::name(int code) const {
  return code >= 1 && code <= keyword_count() ? std::string_view(names_[static_cast<std::size_t>(code - 1)]) : std::string_view();
}

std::vector<Token> tokenize(std::string_view text, int first_line, const KeywordTable& keywords) {
  return Scanner(text, first_line, keywords).scan_all();
}

}  // namespace quilvar::runtime::statements
