// Running a program: the module is loaded once, each step runs with fresh
// step state, and the destinations are completed at the end.
#include "runtime/cli/program_runner.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <new>
#include <sstream>
#include <system_error>
#include <unistd.h>

#include "runtime/catalog/catalog.hpp"
#include "runtime/cli/output_files.hpp"
#include "runtime/cli/progress.hpp"
#include "runtime/datasets/csv_records.hpp"
#include "runtime/datasets/datasets.hpp"
#include "runtime/loader/kernel_services.hpp"
#include "runtime/loader/module_loader.hpp"
#include "runtime/loader/session.hpp"
#include "runtime/output/output.hpp"
#include "runtime/statements/parser_services.hpp"
#include "runtime/statements/program.hpp"

namespace quilvar::runtime {

namespace {

namespace fs = std::filesystem;
constexpr std::array<std::string_view, 1> kProcedures{"QUILVAR"};
constexpr int kWarningStatus = 4;
constexpr int kInternalErrorStatus = 3000;
constexpr int kNoMemoryStatus = 1016;  // the procedure found no memory left
struct RunState {
  const RunOptions& options;
  output::InputFiles& inputs;  // the data sets read, which no output replaces
  datasets::Libraries libraries;
  LoadedModule module;
  std::string title;
  int worst_status = 0;
  bool program_problem = false;
};

// Reads standard input to its end; false with *error when a read fails (no
// standard input, or a folder given as one), which is no empty program.
bool read_standard_input(std::string* text, std::string* error) {
  char block[65536];
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read the program from standard input: " + std::string(std::strerror(errno));
      return false;
    }
    text->append(block, static_cast<std::size_t>(got));
  }
}

// Reads the program text; a UTF-8 byte order mark, which some editors put
// at the start of every file they save, is not part of the program.
bool read_program(const std::string& path, std::string* text, std::string* error) {
  if (path == "-") {
    if (!read_standard_input(text, error)) return false;
  } else {
    std::error_code ignored;
    if (fs::is_directory(path, ignored)) {
      *error = "the program file " + path + " is a folder";
      return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      // The stream keeps no reason of its own; the failed open left it in errno.
      const int reason = errno;
      *error = "cannot read the program file " + path + (reason != 0 ? ": " + std::string(std::strerror(reason)) : "");
      return false;
    }
    try {
      *text = std::string(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) {  // a read error below the stream
      *error = "cannot read the program file " + path;
      return false;
    }
  }
  // Editors save "Unicode" text as UTF-16: read byte by byte, its NUL bytes
  // would turn every statement into nonsense.
  const datasets::WideEncoding encoding = datasets::wide_encoding(text->data(), text->size());
  if (encoding != datasets::WideEncoding::kNone) {
    *error = "the program file " + path + " is encoded as " + std::string(datasets::wide_encoding_name(encoding)) +
             ": save it as UTF-8 (or convert it, for instance with iconv -t UTF-8)";
    return false;
  }
  text->erase(0, datasets::byte_order_mark_length(text->data(), text->size()));
  return true;
}

// The running program's file, wherever it was started from (a folder on
// PATH, a symbolic link): the module and the standard populations sit next
// to it. The command's own name serves only where the system cannot say.
fs::path running_executable(const RunOptions& o) {
  std::error_code error;
  const fs::path executable = fs::canonical("/proc/self/exe", error);
  return error ? fs::absolute(o.executable) : executable;
}

// The folder of the bundled standard populations, next to the executable.
fs::path standard_populations_dir(const RunOptions& o) { return running_executable(o).parent_path() / "std"; }

// Empty for a folder; otherwise what keeps the path from being one: " does
// not exist", " is not a folder" for a file of that name (a data file given
// to --data-dir, say), or why the system cannot look (a name too long, a
// folder on the way that may not be searched).
std::string why_not_a_folder(const fs::path& path) {
  std::error_code code;
  const fs::file_status status = fs::status(path, code);
  if (fs::is_directory(status)) return "";
  if (fs::exists(status)) return " is not a folder";
  if (code && code != std::errc::no_such_file_or_directory && code != std::errc::not_a_directory)
    return " cannot be reached: " + code.message();
  return " does not exist";
}

// Whether the program is read through one of the process's descriptors:
// standard input ("-", /dev/stdin) or a pipe the shell names /dev/fd/N
// (`quilvar <(make_program)`). Such a program has no folder of its own.
bool read_through_descriptor(const std::string& program) {
  if (program == "-") return true;
  std::error_code code;
  fs::path name = fs::absolute(program, code);
  // Links are followed one at a time: /dev/stdin leads to /proc/self/fd/0,
  // whose own target is the file or pipe behind the descriptor.
  for (int followed = 0; !code && followed < 40; ++followed) {
    const fs::path folder = fs::canonical(name.parent_path(), code);
    if (!code && folder.native().starts_with("/proc/")) return true;
    if (code || !fs::is_symlink(fs::symlink_status(name, code))) return false;
    name = name.parent_path() / fs::read_symlink(name, code);
  }
  return false;
}

bool set_up_libraries(const RunOptions& o, datasets::Libraries* libraries, std::string* error) {
  std::error_code code;
  const fs::path program_dir =
      read_through_descriptor(o.program) ? fs::current_path(code) : fs::absolute(o.program, code).parent_path();
  if (code) {
    *error = "the current folder cannot be found (" + code.message() + "), so neither can the program's data";
    return false;
  }
  libraries->program_dir = program_dir;
  libraries->default_dir = o.data_dir.empty() ? program_dir : fs::path(o.data_dir);
  for (const auto& [name, dir] : o.libraries) {
    if (const std::string why = why_not_a_folder(dir); !why.empty()) {
      *error = "the folder " + dir + " of library " + name + why;
      return false;
    }
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char ch) { return std::toupper(ch); });
    libraries->named[upper] = dir;
  }
  // The bundled standard populations: the library STD, unless the user named
  // a library of that name.
  if (libraries->named.count("STD") == 0) {
    const char* std_dir = std::getenv("QUILVAR_STD_DIR");
    libraries->named["STD"] = std_dir != nullptr && *std_dir != 0 ? fs::path(std_dir) : standard_populations_dir(o);
    // A stale variable stops no run that never reads std.NAME, but a step
    // that does would name only the folder, not where it came from.
    if (std_dir != nullptr && *std_dir != 0) {
      if (const std::string why = why_not_a_folder(std_dir); !why.empty()) {
        write_log(LogLevel::kWarning, "the folder " + std::string(std_dir) +
                                          " of library std, named by QUILVAR_STD_DIR," + why +
                                          ", so a step that reads std.NAME will not find its data set");
      }
    }
  }
  if (const std::string why = why_not_a_folder(libraries->default_dir); !why.empty()) {
    *error = "the data folder " + libraries->default_dir.string() + why;
    return false;
  }
  return true;
}

void log_data_set_error(void*, std::string_view message) { write_log(LogLevel::kError, message); }

void warn_if_empty(host::DataSet* set) {
  if (datasets::observation_count(set) != 0) return;
  write_log(LogLevel::kWarning,
            "the data set " + datasets::data_set_file(set) + " has no observations, so nothing is computed from it.");
  raise_status(kWarningStatus);
}

statements::StepHooks make_hooks(const datasets::Libraries& libraries, StepData& data) {
  statements::StepHooks hooks;
  hooks.open_data_set = [&libraries, &data](std::string_view spec, bool quoted, std::string* error) {
    host::DataSet* set = datasets::open_data_set(libraries, spec, quoted, error);
    if (set != nullptr) {
      datasets::set_error_sink(set, &log_data_set_error, nullptr);
      // A file the step opens again (DATA= and REFDATA= alike) was described
      // when first opened.
      const std::string file = datasets::data_set_file(set);
      const bool described = std::any_of(data.opened.begin(), data.opened.end(), [&file](host::DataSet* other) {
        std::error_code ignored;  // a file not found again is taken as another one
        return std::filesystem::equivalent(datasets::data_set_file(other), file, ignored);
      });
      if (!described) {
        for (const std::string& note : datasets::layout_notes(set)) write_log(LogLevel::kNote, note);
        // Said at once, before the procedure's own messages about the
        // variables: a file with no rows types its columns by default only.
        warn_if_empty(set);
      }
      data.opened.push_back(set);
      if (data.inputs != nullptr) data.inputs->add(file);
    }
    return set;
  };
  hooks.data_sets = &datasets::data_set_services();
  hooks.variable_count = [](host::DataSet* set) { return datasets::variable_count(set); };
  hooks.apply_by = [&data](host::DataSet* set, std::span<const statements::ByVariableSpec> specs, bool notsorted,
                           std::string* error) {
    std::vector<datasets::ByVariable> variables;
    for (const auto& spec : specs) variables.push_back({spec.name, spec.descending});
    if (!datasets::set_by_variables(set, variables, notsorted, error)) return false;
    data.by_data = set;
    return true;
  };
  hooks.report_error = [](const statements::StatementError& error) { write_log(LogLevel::kError, error.text); };
  hooks.report_warning = [](const statements::StatementError& warning) {
    write_log(LogLevel::kWarning, warning.text);
    raise_status(kWarningStatus);
  };
  hooks.trace = [](std::string_view line) { write_log_text(line); };
  return hooks;
}

// The BY values of the current group, made once per group: every output
// object of a group asks for them.
output::ByValuesSource by_values_of(const StepData& data) {
  struct Made {
    const host::DataSet* data_set = nullptr;
    std::uint64_t serial = 0;
    std::vector<output::ByValue> values;
  };
  return [&data, made = std::make_shared<Made>()] {
    if (data.by_data == nullptr) return std::vector<output::ByValue>();
    const std::uint64_t serial = datasets::current_group_serial(data.by_data);
    if (made->data_set != data.by_data || made->serial != serial) {
      made->values.clear();
      for (const auto& v : datasets::current_by_values(data.by_data)) {
        made->values.push_back({v.name, v.numeric, v.number, v.text});
      }
      made->data_set = data.by_data;
      made->serial = serial;
    }
    return made->values;
  };
}

// "This step issued [908-143] 30 times and [908-165] 2 times.", naming each
// warning and error of the catalog the step issued, by number in the order
// first issued, when one of them came more than once (a registry step may
// repeat one in thousands of BY groups); "" otherwise.
std::string repeated_messages_summary(const StepRecord& record) {
  std::vector<MessageCount> counts;
  bool repeated = false;
  for (const MessageCount& count : record.message_counts) {
    const catalog::CatalogEntry* entry = catalog::find_entry(count.set, count.number);
    if (entry != nullptr && entry->severity != catalog::Severity::kWarning &&
        entry->severity != catalog::Severity::kError)
      continue;
    counts.push_back(count);
    repeated = repeated || count.count > 1;
  }
  if (!repeated) return "";
  std::string text = "This step issued ";
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (i > 0) text += i + 1 == counts.size() ? " and " : ", ";
    const MessageCount& count = counts[i];
    text.append("[")
        .append(catalog::message_number(count.set, count.number))
        .append("] ")
        .append(std::to_string(count.count))
        .append(count.count == 1 ? " time" : " times");
  }
  return text + ".";
}

void run_step(RunState& run, const statements::Step& step) {
  StepData data;
  data.inputs = &run.inputs;
  begin_runtime_step(run.libraries, step, run.title, data);
  run_guarded([&run] { run.module.driver(nullptr); });
  const std::string repeated = repeated_messages_summary(current_session().step);
  const int status = end_runtime_step(data);
  if (!repeated.empty()) write_log(LogLevel::kNote, repeated);
  if (run.options.check && status <= kWarningStatus) {
    write_log(LogLevel::kNote, "The step at line " + std::to_string(step.line) +
                                   " is valid: its statements, data sets and variables were checked, and its first BY group "
                                   "computed without output.");
  }
  if (status == kNoMemoryStatus) {
    write_log(LogLevel::kError, "The step at line " + std::to_string(step.line) +
                                    " ran out of memory (a memory limit, such as ulimit -v, may be too small).");
  }
  if (status > kWarningStatus) {
    write_log(LogLevel::kNote, "The step at line " + std::to_string(step.line) + " ended with status " +
                                   std::to_string(status) + ".");
  }
  run.worst_status = std::max(run.worst_status, status);
}

}  // namespace

host::HostServices* host_services() {
  static host::HostServices services{&kernel_services(), &statements::parser_services(),
                                     &datasets::data_set_services(), &output::output_services(), {}};
  return &services;
}

namespace {

// The services of a command-line run: the data-set services also feed the
// progress line and keep the reader of the last observation, so that a
// message about a value names its line. For --check they visit only the
// first BY group, so a step parses its statements, opens and checks its
// data sets and variables, and computes its first group, whose messages
// show whether the strata match the reference; no output is written.
host::HostServices* command_line_services(bool check) {
  static host::HostServices services{&kernel_services(), &statements::parser_services(), nullptr,
                                     &output::output_services(), {}};
  services.datasets =
      &progress_counting_services(check ? datasets::first_group_services() : datasets::data_set_services());
  return &services;
}

}  // namespace

void begin_runtime_step(const datasets::Libraries& libraries, const statements::Step& step, const std::string& title,
                        StepData& data) {
  begin_step();
  statements::begin_step(step, make_hooks(libraries, data));
  // One memo of the group's values serves the output and the messages: a
  // run can warn in every one of its groups.
  const output::ByValuesSource by_values = by_values_of(data);
  output::begin_step(title, by_values);
  current_session().message_place = [by_values](int set, int number) {
    std::string where;
    if (catalog::is_about_observation(set, number)) where = datasets::observation_place(last_reader_read());
    std::string group;
    for (const output::ByValue& value : by_values()) {
      group += group.empty() ? "BY group " : ", ";
      group += value.name + "=" + (value.text.empty() ? "." : value.text);
    }
    if (!where.empty() && !group.empty()) where += "; ";
    return where + group;
  };
}


void run_guarded(const std::function<void()>& body) {
  try {
    body();
  } catch (const StepEnded&) {
    // The step ended with an error status; its status is in the session.
  } catch (const std::bad_alloc&) {
    // Memory ran out in the procedure or a service it called: the step
    // ends as when its own pool has none left (said after the step).
    raise_status(kNoMemoryStatus);
  } catch (const std::exception& e) {
    write_log(LogLevel::kError, std::string("internal error in the procedure: ") + e.what());
    raise_status(kInternalErrorStatus);
  }
}

int end_runtime_step(StepData& data) {
  current_session().message_place = nullptr;
  const int status = end_step();
  StepRecord& record = current_session().step;
  output::end_step(status, std::move(record.reported), record.unreported);
  statements::end_step();
  for (host::DataSet* set : data.opened) datasets::close_data_set(set);
  data = StepData{};
  return status;
}

namespace {

void run_items(RunState& run, const statements::Program& program) {
  for (const auto& item : program.items) {
    if (const auto* title = std::get_if<statements::TitleStatement>(&item)) {
      run.title = title->text;
    } else if (const auto* graphics = std::get_if<statements::GraphicsStatement>(&item)) {
      output::set_graphics_enabled(graphics->on);
    } else {
      run_step(run, std::get<statements::Step>(item));
    }
  }
}

output::OutputOptions output_options(const RunOptions& o, const output::InputFiles& inputs) {
  output::OutputOptions out;
  if (o.check) return out;  // a check writes no output
  out.inputs = &inputs;
  out.listing = o.listing ? &std::cout : nullptr;
  out.html_path = o.html_path;
  out.json_path = o.json_path;
  out.csv_dir = o.csv_dir;
  out.plots_dir = o.plots_dir;
  out.graphics = !o.no_graphics;
  out.program_name = o.program;
  out.render_graph = output::render_graph_svg;
  return out;
}

int fail_usage(const std::string& message) {
  std::cerr << "quilvar: " << message << '\n';
  return kExitUsage;
}

// A failure that stops the run before its steps, said on standard error as
// a command-line problem is and in the log file too: a run given --log would
// otherwise leave an empty log, silent about why nothing was written.
int fail_run(const std::string& message) {
  if (current_session().log != nullptr) write_log(LogLevel::kError, message);
  return fail_usage(message);
}

int exit_status(const RunState& run) {
  if (run.program_problem) return kExitUsage;
  if (run.worst_status > kWarningStatus) return kExitStepFailed;
  if (run.options.strict && run.worst_status == kWarningStatus) return kExitStepFailed;
  return kExitSuccess;
}

// Runs the program with the log in place; returns the exit status.
int run_logged(const RunOptions& options, output::InputFiles& inputs) {
  std::string error, text;
  RunState run{options, inputs, {}, {}, {}, 0, false};
  if (!read_program(options.program, &text, &error) || !set_up_libraries(options, &run.libraries, &error)) {
    return fail_run(error);
  }
  statements::Diagnostics diagnostics;
  const statements::Program program = statements::split_program(text, options.program, kProcedures, diagnostics);
  for (const auto& d : diagnostics.entries()) write_log(LogLevel::kError, statements::format_diagnostic(d));
  run.program_problem = diagnostics.has_errors();
  const bool has_step = std::any_of(program.items.begin(), program.items.end(), [](const statements::ProgramItem& item) {
    return std::holds_alternative<statements::Step>(item);
  });
  // After an error (an open quote or comment swallowing the rest) a step may
  // be in the file but unreadable; the note then does not say there is none.
  if (!has_step && run.program_problem) {
    write_log(LogLevel::kNote, "No PROC step of the program " + options.program + " could be read, so nothing was run.");
  } else if (!has_step) {
    write_log(LogLevel::kNote, "The program " + options.program + " holds no PROC step, so nothing was run.");
  }
  if (!load_module(default_module_path(running_executable(options)), command_line_services(options.check),
                   &run.module, &error)) {
    return fail_run(error);
  }
  // The progress line stands on standard error's terminal until the next
  // refresh: a log line written there clears it first, and a listing (or an
  // output named "-") shown on a terminal, which would run into it, has none.
  current_session().before_standard_error = &finish_progress;
  const bool standard_output_written =
      !options.check && (options.listing || options.html_path == "/dev/stdout" ||
                         options.json_path == "/dev/stdout" || options.log_path == "/dev/stdout");
  if (standard_output_written && isatty(STDOUT_FILENO) != 0) hide_progress();
  if (!output::begin_run(output_options(options, inputs), &error)) return fail_run(error);
  run_items(run, program);
  finish_progress();
  current_session().before_standard_error = nullptr;
  if (!output::finish_run(&error)) {
    write_log(LogLevel::kError, error);
    run.program_problem = true;
  }
  return exit_status(run);
}

}  // namespace

int run_program(const RunOptions& options) {
  std::string error;
  if (!check_output_files(options, &error)) return fail_usage(error);
  output::InputFiles inputs;
  LogFile log;
  if (!options.log_path.empty()) {
    if (!log.open(options.log_path, &inputs, &error)) return fail_usage(error);
    current_session().log = &log.stream();
  }
  const int status = run_logged(options, inputs);
  current_session().log = nullptr;
  if (!options.log_path.empty() && !log.commit(&error)) {
    // The messages would be lost with the file: they go where a run
    // without --log writes them, before the reason.
    std::cerr << log.text();
    return fail_usage(error);
  }
  // A log on standard error that could not be written (a full disk) lost
  // its warnings and errors: the run must not look clean.
  if (options.log_path.empty() && !std::cerr) return std::max(status, kExitUsage);
  return status;
}

}  // namespace quilvar::runtime
