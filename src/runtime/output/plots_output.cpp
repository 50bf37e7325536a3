// The plot-file destination: each graph the graph renderer draws is written
// as an SVG file to the plots folder, each file atomically.
#include <filesystem>
#include <map>
#include <string>

#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"

namespace quilvar::runtime::output {
namespace {

// The file stem of a graph: its BY values and its name, "Year_2021_StrataRatePlot"
// (only the name without BY variables).
std::string graph_stem(const Graph& graph) {
  std::string stem;
  for (const ByValue& value : graph.origin.by) {
    stem += value.name;
    stem += '_';
    stem += by_value_text(value);
    stem += '_';
  }
  return safe_file_stem(stem + graph.name);
}

// Writes each graph the renderer draws to "<stem>.svg" in the folder, and
// "<stem>_2.svg" and so on for later graphs of the same stem.
class PlotsDestination : public Destination {
 public:
  PlotsDestination(std::string folder, GraphRenderer renderer, const InputFiles* inputs)
      : folder_(std::move(folder)), renderer_(std::move(renderer)), inputs_(inputs) {}

  void write_table(const Table& /*table*/, const DisplayTable* /*display*/) override {}
  void write_list(const InfoList& /*list*/) override {}

  void write_graph(const Graph& graph) override {
    const std::string svg = renderer_ ? renderer_(graph) : std::string();
    if (svg.empty()) return;
    const std::string base = graph_stem(graph);
    const std::string stem = numbered_stem(base, ++counts_[base]);
    AtomicFile file;
    std::string message;
    if (file.open(std::filesystem::path(folder_) / (stem + ".svg"), &message, inputs_)) {
      file.write(svg);
      if (file.commit(&message)) return;
    }
    append_error(&error_, message);
  }

  bool finish(std::string* error) override {
    if (error_.empty()) return true;
    *error = error_;
    return false;
  }

 private:
  std::string folder_;
  GraphRenderer renderer_;
  const InputFiles* inputs_;
  std::map<std::string, int> counts_;
  std::string error_;
};

}  // namespace

std::unique_ptr<Destination> make_plots_destination(const std::string& folder, GraphRenderer renderer,
                                                    const InputFiles* inputs, std::string* error) {
  if (!make_output_folder(folder, "plots", error)) return nullptr;
  return std::make_unique<PlotsDestination>(folder, std::move(renderer), inputs);
}

}  // namespace quilvar::runtime::output
