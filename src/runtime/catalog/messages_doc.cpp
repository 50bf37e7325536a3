// Renders the message catalog as docs/messages.md. The page is generated, so
// it cannot drift from the texts the program prints; a test compares the
// committed page with this output.
#include "runtime/catalog/messages_doc.hpp"

#include <string_view>

#include "runtime/catalog/catalog.hpp"

namespace quilvar::runtime::catalog {

namespace {

constexpr std::string_view kHeader =
    "# Quilvar messages\n\n"
    "Every note, warning and error the procedure writes to the log, by number; each log line "
    "ends with its number, such as `[908-143]`. "
    "`%1`, `%2`, ... stand for the option, variable, stratum or value the message names. "
    "A warning raises the step status to 4; an error ends the BY group or the step "
    "(see the user guide, \"Exit status and the log\").\n\n"
    "This page is generated from the program's message catalog "
    "(`build/bin/quilvar-messages > docs/messages.md`).\n";

std::string escape_cell(std::string_view text) {
  std::string out;
  for (char ch : text) {
    if (ch == '|') out += "\\|";
    else out += ch;
  }
  return out;
}

std::string_view set_title(int set) {
  switch (set) {
    case 908: return "Procedure messages (908)";
    case 129: return "Host messages (129)";
    default: return "Graphics messages (210)";
  }
}

}  // namespace

std::string render_messages_markdown() {
  std::string page(kHeader);
  int current_set = -1;
  for (const CatalogEntry& e : all_entries()) {
    if (e.severity == Severity::kText) continue;
    if (e.set != current_set) {
      current_set = e.set;
      page += "\n## " + std::string(set_title(e.set)) + "\n\n| Number | Severity | Message | What to do |\n|---|---|---|---|\n";
    }
    page += "| " + message_number(e.set, e.number) + " | " +
            std::string(severity_word(e.severity)) + " | " + escape_cell(e.text) + " | " + escape_cell(e.advice) +
            " |\n";
  }
  return page;
}

}  // namespace quilvar::runtime::catalog
