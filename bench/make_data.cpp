// Writes the benchmark scenarios (data sets and programs) into a folder.
//
//   make_data --out DIR [--size N] [--seed S] [--examples DIR]
//
//   DIR/s1/          the bundled example (a copy of examples/)
//   DIR/s2.qv        direct standardization, two populations per BY group
//   DIR/s3.qv        indirect standardization with SMRs and attributable fractions
//   DIR/plots.qv     s2.qv with every plot (the plots benchmark runs it at a tenth of the size)
//   DIR/read.qv      reads direct_pop.csv with minimal estimates (reading benchmark)
//   DIR/peer_direct.qv, peer_indirect.qv  the R peer pipelines' jobs, like for like
//   DIR/direct_pop.csv, direct_ref.csv      data of s2.qv (also run as S4, with the listing)
//   DIR/indirect_pop.csv, indirect_ref.csv  data of s3.qv
//
// N is the number of BY groups (area x year, ten years per area); the default
// 100000 gives 4 million rows in direct_pop.csv and 2 million in
// indirect_pop.csv. The output depends only on N and S: the generator draws
// from std::mt19937_64 (fully specified by the standard) and uses only basic
// IEEE arithmetic and sqrt, never the library's distributions or
// transcendental functions, whose results may differ between library
// versions. The output checksum test relies on that.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <array>
#include <cmath>

namespace {

namespace fs = std::filesystem;

constexpr int kStrata = 20;
constexpr int kYears = 10;
constexpr int kFirstYear = 2015;

// Five-year age groups, the last one open.
constexpr std::array<const char*, kStrata> kAgeLabels = {
    "00-04", "05-09", "10-14", "15-19", "20-24", "25-29", "30-34", "35-39", "40-44", "45-49",
    "50-54", "55-59", "60-64", "65-69", "70-74", "75-79", "80-84", "85-89", "90-94", "95+"};

// Standard population weights (sum 100000), shaped like a European population.
constexpr std::array<int, kStrata> kStandardPopulation = {
    5000, 5500, 5500, 5500, 6000, 6000, 6500, 7000, 7000, 7000,
    7000, 6500, 6000, 5500, 5000, 4000, 2500, 1500, 800,  200};

// Typical person-years per age group in one area and year, before the area's size factor.
constexpr std::array<int, kStrata> kBasePersonYears = {
    5200, 5400, 5600, 5800, 6200, 6600, 6800, 7000, 6900, 6800,
    6600, 6200, 5800, 5200, 4400, 3500, 2500, 1500, 700,  250};

// Baseline mortality per 100000 person-years (women); rises steeply with age.
constexpr std::array<double, kStrata> kBaseRate = {
    40, 12, 14, 30, 40, 45, 55, 75, 110, 170,
    270, 420, 680, 1050, 1700, 2800, 4800, 8500, 15000, 27000};

constexpr double kMaleFactor = 1.45;

struct Options {
  fs::path out;
  fs::path examples;
  long groups = 100000;
  std::uint64_t seed = 20240611;
};

class Draws {
 public:
  explicit Draws(std::uint64_t seed) : engine_(seed) {}

  // Uniform on [0, 1) with 53 random bits.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

  // A Poisson-like count with the given mean: the exact Poisson draw by
  // products of uniforms for small means, a rounded normal (Irwin-Hall sum of
  // twelve uniforms) for large ones.
  long poisson(double mean) {
    if (mean <= 0) return 0;
    if (mean < 30) return small_poisson(mean);
    double z = -6.0;
    for (int i = 0; i < 12; ++i) z += uniform();
    const double k = mean + std::sqrt(mean) * z + 0.5;
    return k < 0 ? 0 : static_cast<long>(k);
  }

 private:
  long small_poisson(double mean) {
    const double limit = exp_negative(mean);
    long k = 0;
    double product = uniform();
    while (product > limit) {
      ++k;
      product *= uniform();
    }
    return k;
  }

  // e^-x for 0 <= x < 30 by a Taylor series of e^-(x/64), squared six times;
  // basic arithmetic only, so the value is the same on every IEEE machine.
  static double exp_negative(double x) {
    const double y = -x / 64.0;
    double term = 1.0;
    double sum = 1.0;
    for (int n = 1; n <= 20; ++n) {
      term *= y / n;
      sum += term;
    }
    for (int i = 0; i < 6; ++i) sum *= sum;
    return sum;
  }

  std::mt19937_64 engine_;
};

// Buffered writer of one CSV file (plain fwrite: millions of rows).
class CsvFile {
 public:
  explicit CsvFile(const fs::path& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    if (file_ == nullptr) throw std::runtime_error("cannot create " + path.string());
    buffer_.reserve(kFlushAt + 256);
  }
  ~CsvFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  CsvFile(const CsvFile&) = delete;
  CsvFile& operator=(const CsvFile&) = delete;

  void line(std::string_view text) {
    buffer_.append(text);
    buffer_.push_back('\n');
    if (buffer_.size() >= kFlushAt) flush();
  }

  void close() {
    flush();
    if (std::fclose(file_) != 0) {
      file_ = nullptr;
      throw std::runtime_error("cannot write " + path_.string());
    }
    file_ = nullptr;
  }

 private:
  static constexpr std::size_t kFlushAt = 1 << 20;

  void flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
      throw std::runtime_error("cannot write " + path_.string());
    buffer_.clear();
  }

  fs::path path_;
  std::FILE* file_;
  std::string buffer_;
};

void write_text(const fs::path& path, std::string_view text) {
  CsvFile file(path);
  file.line(text);
  file.close();
}

// The digits of the area codes of `groups` BY groups: five, or as many as
// the last area needs, so that the codes sort as text in the order written
// (A99999 before A100000 would not, and the files must be sorted by area).
int area_digits(long groups) {
  int digits = 5;
  for (long last = (groups - 1) / kYears; last >= 100000; last /= 10) ++digits;
  return digits;
}

std::string area_code(long area, int digits) {
  const std::string number = std::to_string(area);
  const std::size_t width = static_cast<std::size_t>(digits);
  std::string code(1, 'A');
  if (number.size() < width) code.append(width - number.size(), '0');
  code.append(number);
  return code;
}

// One area's character: its size and its mortality level relative to the baseline.
struct Area {
  double size;
  double level;
};

Area draw_area(Draws& draws) {
  return {0.5 + 1.5 * draws.uniform(), 0.75 + 0.5 * draws.uniform()};
}

// Mortality falls by 1.5% a year over the ten years.
double year_trend(int year_index) { return 1.0 - 0.015 * year_index; }

long person_years(Draws& draws, const Area& area, int stratum) {
  const double value = kBasePersonYears[stratum] * area.size * (0.9 + 0.2 * draws.uniform());
  return static_cast<long>(value + 0.5);
}

double expected_deaths(long pyears, double rate_per_100000) {
  return static_cast<double>(pyears) * rate_per_100000 / 100000.0;
}

// S2 data: area, year, sex (the two populations), age, deaths, person-years.
void write_direct_population(const fs::path& path, const Options& options) {
  Draws draws(options.seed);
  CsvFile file(path);
  file.line("area,year,sex,age,deaths,pyears");
  Area area{};
  char row[128];
  for (long group = 0; group < options.groups; ++group) {
    const int year_index = static_cast<int>(group % kYears);
    if (year_index == 0) area = draw_area(draws);
    const std::string code = area_code(group / kYears, area_digits(options.groups));
    for (int sex = 0; sex < 2; ++sex) {
      const double factor = area.level * year_trend(year_index) * (sex == 1 ? kMaleFactor : 1.0);
      for (int stratum = 0; stratum < kStrata; ++stratum) {
        const long pyears = person_years(draws, area, stratum);
        const long deaths = draws.poisson(expected_deaths(pyears, kBaseRate[stratum] * factor));
        std::snprintf(row, sizeof row, "%s,%d,%s,%s,%ld,%ld", code.c_str(), kFirstYear + year_index,
                      sex == 1 ? "Male" : "Female", kAgeLabels[stratum], deaths, pyears);
        file.line(row);
      }
    }
  }
  file.close();
}

void write_direct_reference(const fs::path& path) {
  CsvFile file(path);
  file.line("age,std_pop");
  char row[64];
  for (int stratum = 0; stratum < kStrata; ++stratum) {
    std::snprintf(row, sizeof row, "%s,%d", kAgeLabels[stratum], kStandardPopulation[stratum]);
    file.line(row);
  }
  file.close();
}

// S3 data: area, year, age, deaths, person-years (both sexes together).
void write_indirect_population(const fs::path& path, const Options& options) {
  Draws draws(options.seed + 1);
  CsvFile file(path);
  file.line("area,year,age,deaths,pyears");
  Area area{};
  char row[128];
  const double both_sexes = (1.0 + kMaleFactor) / 2.0;
  for (long group = 0; group < options.groups; ++group) {
    const int year_index = static_cast<int>(group % kYears);
    if (year_index == 0) area = draw_area(draws);
    const std::string code = area_code(group / kYears, area_digits(options.groups));
    const double factor = area.level * year_trend(year_index) * both_sexes;
    for (int stratum = 0; stratum < kStrata; ++stratum) {
      const long pyears = 2 * person_years(draws, area, stratum);
      const long deaths = draws.poisson(expected_deaths(pyears, kBaseRate[stratum] * factor));
      std::snprintf(row, sizeof row, "%s,%d,%s,%ld,%ld", code.c_str(), kFirstYear + year_index,
                    kAgeLabels[stratum], deaths, pyears);
      file.line(row);
    }
  }
  file.close();
}

// National reference: person-years and deaths per age group, at the mean level.
void write_indirect_reference(const fs::path& path) {
  CsvFile file(path);
  file.line("age,ref_deaths,ref_pop");
  char row[64];
  const double both_sexes = (1.0 + kMaleFactor) / 2.0;
  for (int stratum = 0; stratum < kStrata; ++stratum) {
    const long ref_pop = 4000L * kBasePersonYears[stratum];
    const long ref_deaths =
        static_cast<long>(expected_deaths(ref_pop, kBaseRate[stratum] * both_sexes * 0.97) + 0.5);
    std::snprintf(row, sizeof row, "%s,%ld,%ld", kAgeLabels[stratum], ref_deaths, ref_pop);
    file.line(row);
  }
  file.close();
}

constexpr std::string_view kDirectProgram =
    "/* Registry mortality: women and men of every area and year, directly\n"
    "   standardized to the standard population, with gamma limits and rate ratios. */\n"
    "title 'Registry mortality by area and year, directly standardized';\n"
    "proc quilvar data=direct_pop refdata=direct_ref method=direct stat=rate(mult=100000)\n"
    "             cl=gamma effect plots=none;\n"
    "  population group=sex event=deaths total=pyears;\n"
    "  reference total=std_pop;\n"
    "  strata age / stats(cl=poisson) effect;\n"
    "  by area year;\n"
    "run;";

// The same job with every plot: a rate plot, a distribution plot and an
// effect plot for each BY group.
constexpr std::string_view kPlotsProgram =
    "/* Registry mortality with every plot of every area and year. */\n"
    "title 'Registry mortality by area and year, directly standardized';\n"
    "proc quilvar data=direct_pop refdata=direct_ref method=direct stat=rate(mult=100000)\n"
    "             cl=gamma effect plots=all;\n"
    "  population group=sex event=deaths total=pyears;\n"
    "  reference total=std_pop;\n"
    "  strata age / stats(cl=poisson) effect;\n"
    "  by area year;\n"
    "run;";

// Reads the whole direct_pop.csv with as little else as possible (no limits,
// no stratum tables, no effects): the reading benchmark runs it with no
// output destination.
constexpr std::string_view kReadingProgram =
    "/* Reading benchmark: every observation of direct_pop.csv, minimal estimates. */\n"
    "proc quilvar data=direct_pop refdata=direct_ref method=direct stat=rate cl=none plots=none;\n"
    "  population group=sex event=deaths total=pyears;\n"
    "  reference total=std_pop;\n"
    "  strata age;\n"
    "  by area year;\n"
    "run;";

// The peer pipelines' jobs in Quilvar, like for like: the directly
// standardized rates with gamma limits of every BY group and population, and
// the SMRs with exact Poisson limits, with no stratum tables, effects or
// attributable fractions.
constexpr std::string_view kDirectPeerProgram =
    "/* The R direct pipeline's job: standardized rates with gamma limits only. */\n"
    "proc quilvar data=direct_pop refdata=direct_ref method=direct stat=rate(mult=100000)\n"
    "             cl=gamma plots=none;\n"
    "  population group=sex event=deaths total=pyears;\n"
    "  reference total=std_pop;\n"
    "  strata age;\n"
    "  by area year;\n"
    "run;";

constexpr std::string_view kIndirectPeerProgram =
    "/* The R indirect pipeline's job: SMRs with exact Poisson limits only. */\n"
    "proc quilvar data=indirect_pop refdata=indirect_ref method=indirect\n"
    "             stat=rate(mult=100000) cl=poisson plots=none;\n"
    "  population event=deaths total=pyears;\n"
    "  reference event=ref_deaths total=ref_pop;\n"
    "  strata age;\n"
    "  by area year;\n"
    "run;";

constexpr std::string_view kIndirectProgram =
    "/* Registry mortality of every area and year against the national rates:\n"
    "   SMRs with exact Poisson limits and attributable fractions. */\n"
    "title 'Registry mortality by area and year against the national rates';\n"
    "proc quilvar data=indirect_pop refdata=indirect_ref method=indirect(af)\n"
    "             stat=rate(mult=100000) cl=poisson plots=none;\n"
    "  population event=deaths total=pyears;\n"
    "  reference event=ref_deaths total=ref_pop;\n"
    "  strata age / stats(cl=poisson) smr(cl=poisson);\n"
    "  by area year;\n"
    "run;";

void copy_examples(const Options& options) {
  const fs::path target = options.out / "s1";
  fs::create_directories(target);
  fs::copy(options.examples, target,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "make_data: %s\n"
               "usage: make_data --out DIR [--size BY_GROUPS] [--seed N] [--examples DIR]\n",
               problem.c_str());
  std::exit(2);
}

long parse_number(const std::string& text, const char* option) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1) usage(std::string(option) + " needs a positive whole number");
  return static_cast<long>(value);
}

Options parse_options(int argc, char** argv) {
  Options options;
#ifdef QUILVAR_EXAMPLES_DIR
  options.examples = QUILVAR_EXAMPLES_DIR;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) usage("missing value after " + option);
    const std::string value = argv[++i];
    if (option == "--out") options.out = value;
    else if (option == "--size") options.groups = parse_number(value, "--size");
    else if (option == "--seed") options.seed = static_cast<std::uint64_t>(parse_number(value, "--seed"));
    else if (option == "--examples") options.examples = value;
    else usage("unknown option " + option);
  }
  if (options.out.empty()) usage("--out is required");
  if (options.examples.empty()) usage("--examples is required (no default compiled in)");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  try {
    fs::create_directories(options.out);
    copy_examples(options);
    write_direct_population(options.out / "direct_pop.csv", options);
    write_direct_reference(options.out / "direct_ref.csv");
    write_text(options.out / "s2.qv", kDirectProgram);
    write_text(options.out / "plots.qv", kPlotsProgram);
    write_text(options.out / "read.qv", kReadingProgram);
    write_text(options.out / "peer_direct.qv", kDirectPeerProgram);
    write_indirect_population(options.out / "indirect_pop.csv", options);
    write_indirect_reference(options.out / "indirect_ref.csv");
    write_text(options.out / "s3.qv", kIndirectProgram);
    write_text(options.out / "peer_indirect.qv", kIndirectPeerProgram);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_data: %s\n", error.what());
    return 1;
  }
  return 0;
}
