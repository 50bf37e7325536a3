// The interface every output destination implements, and the factories of
// the listing, JSON, CSV, HTML and plot-file destinations.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

#include "runtime/output/atomic_file.hpp"
#include "runtime/output/display.hpp"
#include "runtime/output/formats.hpp"
#include "runtime/output/model.hpp"
#include "runtime/output/output.hpp"

namespace quilvar::runtime::output {

// Where a destination's calls run. The files and the listing have a thread
// each, so a large listing is formatted while the files are written.
enum class DeliveryThread { kCaller, kFiles, kListing };
inline constexpr std::size_t kDeliveryThreads = 2;  // the threads besides the caller's

// Receives each object as it is delivered. Write failures are kept and
// reported by finish(); they never reach the module.
class Destination {
 public:
  virtual ~Destination() = default;
  // True when write_table needs the display form.
  virtual bool wants_display() const { return false; }
  // The thread its calls run on: the computing thread, or a delivery thread.
  // A destination of a delivery thread touches nothing but its own state,
  // the objects it is given and what it shares with the destinations of
  // the same thread.
  virtual DeliveryThread delivery_thread() const { return DeliveryThread::kCaller; }
  virtual void begin_step(const StepInfo& /*step*/) {}
  // The step's properties (its procedure label) changed after begin_step.
  virtual void update_step(const StepInfo& /*step*/) {}
  // `display` is the table's display form when wants_display(), else null.
  virtual void write_table(const Table& table, const DisplayTable* display) = 0;
  virtual void write_list(const InfoList& list) = 0;
  virtual void write_graph(const Graph& graph) = 0;
  virtual void end_step(const StepInfo& /*step*/) {}
  // Completes the destination. Returns false with *error set on failure.
  virtual bool finish(std::string* error) = 0;
  // Ends a destination one of whose calls threw (memory ran out part way
  // through an object) in place of finish(). A destination that writes
  // each object whole or not at all (the listing, a plot file) completes
  // as finish() does; a file whose text may stop in the middle of an
  // object is not written, and *error names it.
  virtual bool abandon(std::string* error) { return finish(error); }

  // Whether one of its calls threw; set by the output system, which calls
  // it from one thread at a time.
  bool failed() const { return failed_; }
  void mark_failed() { failed_ = true; }

 private:
  bool failed_ = false;
};

// The error of a file left unwritten because an object could not be
// written into it whole.
inline std::string unwritten_file_error(const std::string& file) {
  return "cannot write " + file + ": an output object could not be written into it whole, so it is not written";
}

// Adds a failure's message to a "; "-separated list of messages.
inline void append_error(std::string* errors, const std::string& message) {
  if (!errors->empty()) errors->append("; ");
  errors->append(message);
}

// "name" for the first file of a name, "name_2" for the second, and so on.
inline std::string numbered_stem(const std::string& stem, int number) {
  if (number <= 1) return stem;
  std::string numbered = stem;
  numbered.push_back('_');
  numbered.append(std::to_string(number));
  return numbered;
}

std::unique_ptr<Destination> make_listing_destination(std::ostream* stream);

// Each file destination returns null with *error set when its temporary file
// (or the CSV folder) cannot be created. None of its files replaces one of
// `inputs` (when not null).
// The JSON and CSV destinations write in the background and share `numbers`
// there.
std::unique_ptr<Destination> make_json_destination(const std::string& path, const std::string& program,
                                                   std::shared_ptr<ShortestTextCache> numbers,
                                                   const InputFiles* inputs, std::string* error);
std::unique_ptr<Destination> make_csv_destination(const std::string& folder,
                                                  std::shared_ptr<ShortestTextCache> numbers,
                                                  const InputFiles* inputs, std::string* error);
std::unique_ptr<Destination> make_html_destination(const std::string& path, const std::string& program,
                                                   GraphRenderer renderer, std::size_t kept_in_memory,
                                                   const InputFiles* inputs, std::string* error);
std::unique_ptr<Destination> make_plots_destination(const std::string& folder, GraphRenderer renderer,
                                                    const InputFiles* inputs, std::string* error);

}  // namespace quilvar::runtime::output
