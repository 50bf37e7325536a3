// grammar_compiler GRAMMAR TABLES_OUT CODES_OUT: compiles the statement
// grammar into the table definitions and the flag and slot header. Exits
// 1 with the problems on standard error when the grammar is not LL(1) or
// refers to something undefined.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "quilvar/syntax/compiler/grammar_emit.hpp"
#include "quilvar/syntax/compiler/grammar_source.hpp"
#include "quilvar/syntax/compiler/grammar_tables.hpp"

namespace {

// Writes text to path; returns false when the file cannot be written.
bool write_file(const char* path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quilvar::syntax::compiler;
  if (argc != 4) {
    std::cerr << "usage: grammar_compiler GRAMMAR TABLES_OUT CODES_OUT\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    std::cerr << argv[1] << ": cannot read\n";
    return 1;
  }
  GrammarSource source;
  CompiledGrammar compiled;
  std::string errors = read_grammar(text.str(), &source);
  if (errors.empty()) errors = compile_grammar(source, &compiled);
  if (!errors.empty()) {
    std::cerr << argv[1] << ":\n" << errors << '\n';
    return 1;
  }
  if (!write_file(argv[2], emit_tables(compiled)) || !write_file(argv[3], emit_codes(compiled))) {
    std::cerr << "grammar_compiler: cannot write the output files\n";
    return 1;
  }
  return 0;
}
