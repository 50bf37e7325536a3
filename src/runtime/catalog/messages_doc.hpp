// The catalog as a Markdown reference page for users: every note, warning
// and error with its number, severity, text and what to do.
#pragma once

#include <string>

namespace quilvar::runtime::catalog {

std::string render_messages_markdown();

}  // namespace quilvar::runtime::catalog
