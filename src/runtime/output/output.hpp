// The runtime's output delivery system: the output services the module calls
// (templates with bound columns, output objects, information lists, groups,
// graph bindings), and the destinations that receive every delivered object:
// the text listing, a JSON document, CSV files and an HTML report.
//
// Use, on one thread:
//   begin_run(options)                       opens every destination
//   begin_step(title, by_values)             per step, before the module runs
//     ... the module calls output_services() ...
//   end_step(status)                         frees every object of the step
//   finish_run(&error)                       completes and renames the files
//
// Protocol notes for the module side:
// - Handles (OdsObject*, OdsText*) are opaque and checked on every call; a
//   stale or foreign handle gives a failing status, never a crash.
// - Method 147 writes the new object to item 144, type 12 (into the item)
//   or type 67 (through the address). Method 422 does the same for its first
//   positional handle and for item 784.
// - Method 2826 takes item 2829 as a counted list (type 27) of OdsObject*
//   handles of delivered graph data objects (those opened with 2640 = 1, or
//   from a stored graph-data template).
// - A template created with the name of an earlier template of the step
//   replaces it; the earlier handle is no longer valid. Text values made
//   before the step's first group (method 300) live until the step ends; a
//   text made while the n-th group is the latest opened lives until group
//   n + 2 is opened. So a long run's memory does not grow with its BY groups.
// - Graph data objects are delivered with the graph that binds them; those
//   no graph binds are delivered at the end of the step as graphs without a
//   template. Graphs reach the JSON document, the HTML report (through
//   render_graph) and the plots folder; the listing and CSV files hold tables
//   and information lists only.
// - A failing status word is negative, with facility kOutputFacility in bits
//   11 to 21 and the reason (Failure) in bits 0 to 10.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime::output {

// The value of one BY variable in the current BY group.
struct ByValue {
  std::string name;
  bool numeric = false;
  double number = 0.0;
  std::string text;
};

using ByValuesSource = std::function<std::vector<ByValue>()>;

struct Graph;  // a graph with its data objects, in runtime/output/model.hpp
class InputFiles;  // the files a run reads, in runtime/output/atomic_file.hpp

// Renders a graph to SVG markup; returns an empty text when it cannot.
using GraphRenderer = std::function<std::string(const Graph&)>;

struct OutputOptions {
  std::ostream* listing = nullptr;  // the text listing; null: none
  std::string html_path;            // empty: no HTML report
  // Bytes of the report's text kept in memory; more go to a temporary file.
  std::size_t html_kept_in_memory = std::size_t{8} << 20;
  std::string json_path;            // empty: no JSON document
  std::string csv_dir;              // empty: no CSV files; created when absent
  std::string plots_dir;            // SVG files, written only with render_graph
  bool graphics = true;             // false switches graphs off for the whole run
  std::string program_name;
  GraphRenderer render_graph;       // embeds graphs in the HTML report and plots_dir
  const InputFiles* inputs = nullptr;  // files no output replaces; outlives the run
};

inline constexpr std::uint32_t kOutputFacility = 41;

// The reasons of a failing status word (its number field).
enum class Failure : std::uint32_t {
  kNoStep = 1,            // a service was called outside a step
  kBadHandle = 2,         // the object or text handle is not a live one
  kWrongObject = 3,       // the method does not apply to this kind of object
  kUnknownMethod = 4,
  kMissingItem = 5,       // a required attribute is absent
  kWrongItemType = 6,     // an attribute has a value type the method cannot use
  kBadValue = 7,          // a value is out of range (unknown kind, bad length, ...)
  kBadState = 8,          // the object is not in a state that allows the method
  kNoOpenOutput = 9,      // a row request on a template with no open output
  kInternal = 10,         // an unexpected failure inside the output system
};

// The negative status word for a failure.
std::int32_t failure_status(Failure failure);

// Starts a run: opens the listing and the temporary files of the file
// destinations. Returns false with *error set when a file or the CSV folder
// cannot be created; nothing is left behind then. A run still open is
// abandoned first.
bool begin_run(const OutputOptions& options, std::string* error);

// Starts a step. by_values is asked for the current BY group's values each
// time an object is opened; it may be empty. A step still open is ended with
// no status first.
void begin_step(std::string title, ByValuesSource by_values);

// Ends the step with the status the module handed over and the step's
// first warnings and errors (with the count of the others), for the
// reports: delivers lists and graph data objects still pending, drops
// outputs never closed, and frees every object and text of the step.
void end_step(int status, std::vector<std::string> messages = {}, int more_messages = 0);

// Ends an open step, completes every file and renames it to its final name.
// Returns false with *error naming the files that could not be written
// (those are removed); the others are still completed.
bool finish_run(std::string* error);

// Ends the run without completing any file; the temporary files are removed.
void abandon_run();

// Whether graphs are made (the step's GRAPHICS setting); graphs are on only
// when both this and OutputOptions::graphics are. begin_run sets it on.
void set_graphics_enabled(bool enabled);

// The table of output services handed to the module.
const host::OutputServices& output_services();

// Draws a stratum graph ("Vesk.Quilvar.Graphics.…" templates) as SVG from its
// data object's columns and dynamic variables; empty for other graphs. The
// renderer to give OutputOptions::render_graph.
std::string render_graph_svg(const Graph& graph);

}  // namespace quilvar::runtime::output
