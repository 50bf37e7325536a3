// The plot-file destination: each graph the graph renderer draws is written
// as an SVG file to the plots folder, each file atomically.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"

namespace quilvar::runtime::output {
namespace {

// File names hold at most 255 bytes on the common file systems. A stem
// keeps room for the number of a repeated stem, ".svg" and what the hidden
// temporary name adds ('.', the process id, eight random digits, ".tmp").
constexpr std::size_t kMaxStemBytes = 200;
constexpr std::uint64_t kDigestBasis = 0xcbf29ce484222325ull;  // 64-bit FNV-1a
constexpr std::uint64_t kDigestPrime = 0x100000001b3ull;
constexpr int kDigestHexDigits = 8;
// Plot files named in the run's error when they cannot be written; the
// rest are counted. A full disk under a run of many BY groups fails every
// later plot, which would otherwise give one error line of megabytes.
constexpr int kNamedFailures = 3;

// A 64-bit digest of the text: the same on every run and every system,
// unlike std::hash.
std::uint64_t digest_bits(std::string_view text) {
  std::uint64_t hash = kDigestBasis;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * kDigestPrime;
  return hash;
}

// Eight hex digits standing for the whole text.
std::string digest(std::string_view text) {
  std::uint64_t hash = digest_bits(text);
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string out(kDigestHexDigits, '0');
  for (int i = kDigestHexDigits - 1; i >= 0; --i, hash >>= 4) out[static_cast<std::size_t>(i)] = kHex[hash & 0xF];
  return out;
}

// The file stem of a graph: its BY values and its name, "Year_2021_StrataRatePlot"
// (only the name without BY variables). Long BY values are cut, between
// whole characters, and followed by a digest of them all, so that BY groups
// that begin alike still get files of their own.
std::string graph_stem(const Graph& graph) {
  std::string by;
  for (const ByValue& value : graph.origin.by) {
    by += value.name;
    by += '_';
    by += by_value_text(value);
    by += '_';
  }
  std::string stem = safe_file_stem(by + graph.name);
  if (stem.size() <= kMaxStemBytes) return stem;
  const std::string name = safe_file_stem(graph.name);
  const std::size_t room = kMaxStemBytes - std::min(kMaxStemBytes, name.size() + kDigestHexDigits + 2);
  std::size_t cut = std::min(room, stem.size());
  while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
  std::string shortened = stem.substr(0, cut);
  shortened += '_';
  shortened += digest(stem);
  shortened += '_';
  shortened += name;
  return shortened;
}

// How many times each stem has been used, kept as a digest and length per
// stem in an open-addressed table at most three quarters full: 16 bytes a
// slot, 21 to 43 bytes a stem against about 100 for a map of the names, so
// that runs of hundreds of thousands of plot files stay small. Two stems that share digest and length would be counted as
// one, which at worst numbers a file that needed no number; nothing is
// overwritten either way.
class StemCounts {
 public:
  // Counts one more use of `stem` and returns the count.
  std::uint32_t add(std::string_view stem) {
    if (4 * (used_ + 1) > 3 * slots_.size()) grow();
    const std::uint64_t bits = digest_bits(stem);
    const auto length = static_cast<std::uint32_t>(stem.size());
    Slot& slot = find(bits, length);
    if (slot.count == 0) {
      slot.bits = bits;
      slot.length = length;
      ++used_;
    }
    return ++slot.count;
  }

 private:
  struct Slot {
    std::uint64_t bits = 0;
    std::uint32_t length = 0;
    std::uint32_t count = 0;  // 0: free
  };

  Slot& find(std::uint64_t bits, std::uint32_t length) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = static_cast<std::size_t>(bits * kSpread >> 32) & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.count == 0 || (slot.bits == bits && slot.length == length)) return slot;
    }
  }

  void grow() {
    std::vector<Slot> old(slots_.empty() ? kFirstSlots : 2 * slots_.size());
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.count != 0) find(slot.bits, slot.length) = slot;
    }
  }

  static constexpr std::size_t kFirstSlots = 64;
  static constexpr std::uint64_t kSpread = 0x9E3779B97F4A7C15ull;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// Writes each graph the renderer draws to "<stem>.svg" in the folder, and
// "<stem>_2.svg" and so on for later graphs of the same stem.
class PlotsDestination : public Destination {
 public:
  PlotsDestination(std::string folder, GraphRenderer renderer, const InputFiles* inputs)
      : folder_(std::move(folder)), renderer_(std::move(renderer)), inputs_(inputs) {}

  bool open(std::string* error) { return make_output_folder(folder_, "plots", error, &made_folders_); }

  void write_table(const Table& /*table*/, const DisplayTable* /*display*/) override {}
  void write_list(const InfoList& /*list*/) override {}

  void write_graph(const Graph& graph) override {
    const std::string svg = renderer_ ? renderer_(graph) : std::string();
    if (svg.empty()) return;
    const std::string base = graph_stem(graph);
    const std::string stem = numbered_stem(base, static_cast<int>(counts_.add(base)));
    AtomicFile file;
    std::string message;
    if (file.open(std::filesystem::path(folder_) / (stem + ".svg"), &message, inputs_)) {
      file.write(svg);
      if (file.commit(&message)) return;
    }
    if (++failures_ <= kNamedFailures) append_error(&error_, message);
  }

  bool finish(std::string* error) override {
    // A folder this run made and put no plot into goes again.
    made_folders_.remove_empty();
    if (failures_ == 0) return true;
    *error = error_;
    if (failures_ > kNamedFailures) {
      *error += "; " + std::to_string(failures_ - kNamedFailures) + " more plot files could not be written";
    }
    return false;
  }

 private:
  std::string folder_;
  MadeFolders made_folders_;  // the folder and parents the run made
  GraphRenderer renderer_;
  const InputFiles* inputs_;
  StemCounts counts_;
  std::string error_;
  long failures_ = 0;
};

}  // namespace

std::unique_ptr<Destination> make_plots_destination(const std::string& folder, GraphRenderer renderer,
                                                    const InputFiles* inputs, std::string* error) {
  auto destination = std::make_unique<PlotsDestination>(folder, std::move(renderer), inputs);
  if (!destination->open(error)) return nullptr;
  return destination;
}

}  // namespace quilvar::runtime::output
