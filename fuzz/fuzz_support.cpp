#include "fuzz_support.hpp"

#include <array>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <variant>

#include <unistd.h>

#include "quilvar/entry/driver.hpp"
#include "quilvar/host/calls.hpp"
#include "runtime/cli/program_runner.hpp"
#include "runtime/loader/session.hpp"
#include "runtime/output/output.hpp"
#include "runtime/statements/program.hpp"

namespace quilvar::fuzz {

namespace {

namespace fs = std::filesystem;

class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::ostream& discard_stream() {
  static DiscardBuffer buffer;
  static std::ostream stream(&buffer);
  return stream;
}

void remove_scratch() { fs::remove_all(scratch_folder()); }

}  // namespace

const fs::path& scratch_folder() {
  static const fs::path folder = [] {
    const fs::path path = fs::temp_directory_path() / ("quilvar-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(path);
    std::atexit(remove_scratch);
    return path;
  }();
  return folder;
}

void write_file(const std::string& name, std::string_view bytes) {
  std::ofstream(scratch_folder() / name, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void run_program_text(std::string_view text, bool every_destination) {
  constexpr std::array<std::string_view, 1> procedures{"QUILVAR"};
  runtime::current_session().log = &discard_stream();
  runtime::statements::Diagnostics diagnostics;
  const auto program = runtime::statements::split_program(text, "fuzz.qv", procedures, diagnostics);

  runtime::output::OutputOptions options;
  options.listing = &discard_stream();
  options.program_name = "fuzz.qv";
  if (every_destination) {
    const fs::path out = scratch_folder() / "out";
    options.csv_dir = (out / "csv").string();
    options.json_path = (out / "out.json").string();
    options.html_path = (out / "report.html").string();
  }
  std::string error;
  if (!runtime::output::begin_run(options, &error)) std::abort();
  host::module_state() = {runtime::host_services(), nullptr};
  const runtime::datasets::Libraries libraries{scratch_folder(), {}, scratch_folder()};
  std::string title;
  for (const auto& item : program.items) {
    if (const auto* t = std::get_if<runtime::statements::TitleStatement>(&item)) {
      title = t->text;
    } else if (const auto* g = std::get_if<runtime::statements::GraphicsStatement>(&item)) {
      runtime::output::set_graphics_enabled(g->on);
    } else {
      runtime::StepData data;
      runtime::begin_runtime_step(libraries, std::get<runtime::statements::Step>(item), title, data);
      runtime::run_guarded([] { quilvar::run_step(); });
      runtime::end_runtime_step(data);
    }
  }
  runtime::output::finish_run(&error);
  host::module_state() = {};
  runtime::current_session().log = nullptr;
}

std::string_view take_section(std::string_view& data, std::string_view separator) {
  const std::size_t at = data.find(separator);
  if (at == std::string_view::npos) {
    const std::string_view all = data;
    data = {};
    return all;
  }
  const std::string_view head = data.substr(0, at);
  data.remove_prefix(at + separator.size());
  return head;
}

}  // namespace quilvar::fuzz
