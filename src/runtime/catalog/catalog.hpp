// The message catalog: every numbered message (sets 908, 129, 210) and every
// builtin text the module can ask for, with its severity and text. Texts
// carry numbered argument slots %1, %2, ... filled from the caller's
// arguments (a text, or a number written in its shortest form).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime::catalog {

enum class Severity { kText, kNote, kWarning, kError };

struct CatalogEntry {
  int set;
  int number;
  Severity severity;
  std::string_view text;
  std::string_view advice;  // what the user can do about it; empty for plain texts
};

inline constexpr int kBuiltinSet = 0;  // builtin texts share the table under set 0
inline constexpr int kProcedureSet = 908;  // the procedure's own messages

std::span<const CatalogEntry> all_entries();
const CatalogEntry* find_entry(int set, int number);

// The number a message goes by in the log and the message list: "908-143".
std::string message_number(int set, int number);

// True for the messages about a value of the observation just read (a
// negative count, a zero total, more events than individuals, a risk above
// 1, a third GROUP= level): the log names that observation's line.
bool is_about_observation(int set, int number);

// The message text with its argument slots filled.
std::string format_message(int set, int number, std::span<const host::MessageArg> args);

// Fills the slots of any text by the same rules: %N takes argument N (a
// slot without an argument stays empty) and %% is a literal percent.
std::string fill_text(std::string_view text, std::span<const host::MessageArg> args);

// The raw catalog text (slots unfilled), or nothing for an unknown message.
std::optional<std::string_view> message_text(int set, int number);

std::string_view severity_word(Severity severity);  // "NOTE", "WARNING", "ERROR", ""

}  // namespace quilvar::runtime::catalog
