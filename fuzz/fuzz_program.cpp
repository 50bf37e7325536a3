// Arbitrary program text: tokenized with the procedure's keyword list, then
// split into steps, each parsed and run against fixed, valid data sets.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"
#include "quilvar/syntax/grammar_record.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace {

const quilvar::runtime::statements::KeywordTable& keywords() {
  static const quilvar::runtime::statements::KeywordTable table = [] {
    static quilvar::host::GrammarRecord record{};
    quilvar::syntax::fill_grammar_record(record);
    quilvar::runtime::statements::KeywordTable loaded;
    loaded.load(record);
    return loaded;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using quilvar::fuzz::write_file;
  write_file("regions.csv",
             "year,region,agegroup,deaths,persons\n"
             "2023,North,00-14,5,41000\n2023,North,15-64,318,66800\n2023,North,65+,900,20000\n"
             "2023,South,00-14,7,52000\n2023,South,15-64,290,71000\n2023,South,65+,1010,24000\n"
             "2024,North,00-14,4,40500\n2024,North,15-64,330,67000\n2024,North,65+,950,20500\n"
             "2024,South,00-14,8,51000\n2024,South,15-64,300,70000\n2024,South,65+,990,24500\n");
  write_file("standard.csv",
             "agegroup,std_pop,ref_deaths\n00-14,180000,22\n15-64,250000,1300\n65+,90000,4100\n");
  write_file("pop.csv", "agegroup,deaths,persons\n00-14,5,10000\n15-64,30,20000\n65+,90,8000\n");
  write_file("ref.csv", "agegroup,std_pop,ref_deaths\n00-14,180000,22\n15-64,250000,1300\n65+,90000,4100\n");
  write_file("county.csv", "agegroup,deaths,persons,risk\n00-14,1,8200,0.0001\n15-64,95,14100,0.007\n"
                           "65+,310,5000,0.06\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  quilvar::runtime::statements::tokenize(text, 1, keywords());
  quilvar::fuzz::run_program_text(text);
  return 0;
}
