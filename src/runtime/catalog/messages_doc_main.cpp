// quilvar-messages: prints the message reference page (docs/messages.md).
#include <iostream>

#include "runtime/catalog/messages_doc.hpp"

int main() {
  std::cout << quilvar::runtime::catalog::render_messages_markdown();
  return 0;
}
