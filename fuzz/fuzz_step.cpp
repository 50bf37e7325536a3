// A whole step through the procedure module. The input holds the program
// text, the population data and the reference data, separated by lines
// "@@"; the data are written as pop.csv and ref.csv beside the program.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view program = quilvar::fuzz::take_section(rest, "\n@@\n");
  const std::string_view population = quilvar::fuzz::take_section(rest, "\n@@\n");
  quilvar::fuzz::write_file("pop.csv", population);
  quilvar::fuzz::write_file("ref.csv", rest);
  // Texts from the data reach every writer: CSV, JSON, HTML and the listing.
  quilvar::fuzz::run_program_text(program, true);
  return 0;
}
