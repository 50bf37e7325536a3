// quilvar: runs every step of a program file and delivers the output to the
// listing and the requested files. Exit status: 0 when every step ended with
// status 0 or 4, 1 when a step ended with an error (or a warning under
// --strict), 2 for a problem with the command line, the program file or the
// procedure module, or an output file that could not be written.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/cli/program_runner.hpp"
#include "runtime/cli/progress.hpp"
#include "runtime/cli/standard_streams.hpp"
#include "runtime/statements/suggestions.hpp"
#include "runtime/output/signal_cleanup.hpp"
#include "runtime/text/case.hpp"

namespace {

constexpr char kVersion[] = "quilvar 0.1.0";

// Splits NAME=DIR library options into the run's named libraries.
bool add_libraries(const std::vector<std::string>& specs, quilvar::runtime::RunOptions& options, std::string* error) {
  for (const std::string& spec : specs) {
    const auto equals = spec.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == spec.size()) {
      *error = "--lib expects NAME=DIR, got '" + spec + "'";
      return false;
    }
    std::string name = spec.substr(0, equals);
    // Library names are matched without regard to case, as data set names are.
    const auto same = std::find_if(options.libraries.begin(), options.libraries.end(), [&name](const auto& library) {
      return quilvar::runtime::text::upper_case(library.first) == quilvar::runtime::text::upper_case(name);
    });
    if (same != options.libraries.end()) {
      *error = "--lib names the library " + name + " twice (" + same->second + " and " + spec.substr(equals + 1) +
               "): give each library one folder";
      return false;
    }
    options.libraries.emplace_back(std::move(name), spec.substr(equals + 1));
  }
  return true;
}

// Refuses an option's value that is another option ("--csv --no-listing"):
// the value was left out, and the option after it would otherwise become a
// folder or file of that name and be lost as an option.
const CLI::Validator kNotAnOption(
    [](std::string& value) {
      return value.rfind("--", 0) == 0 ? "its value is missing (found the option " + value + ")" : std::string();
    },
    "", "value");

// What the user is told of arguments the command line has no place for:
// a long option written with one dash ("-csv") or misspelled ("--cvs"),
// or a second program; empty for none of these.
std::string extras_message(const CLI::App& app, const std::string& program) {
  const std::vector<std::string> extras = app.remaining();
  for (const std::string& extra : extras) {
    if (extra.size() < 2 || extra[0] != '-') continue;
    const std::string_view word = std::string_view(extra).substr(extra[1] == '-' ? 2 : 1);
    quilvar::runtime::statements::Suggestion suggestion(word);
    for (const CLI::Option* option : app.get_options()) {
      const std::string name = option->get_name();
      if (name.rfind("--", 0) == 0) suggestion.offer(std::string_view(name).substr(2));
    }
    std::string message = "unknown option " + extra;
    if (!suggestion.best().empty()) message.append(" (did you mean --").append(suggestion.best()).append("?)");
    // A program file whose name starts with a dash reads as an option.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(extra, ignored))
      message.append("; to run the program file ").append(extra).append(", write ./").append(extra);
    return message;
  }
  for (const std::string& extra : extras) {
    if (!extra.empty() && extra[0] != '-')
      return "only one program runs at a time: " + extra + " follows the program " + program +
             " (an option takes one value)";
  }
  return "";
}

// What the user is told of an option given more times than it takes values
// ("--csv a --csv b"); empty when no option was.
std::string repeated_message(const CLI::App& app) {
  for (const CLI::Option* option : app.get_options()) {
    const int most = option->get_items_expected_max();
    if (most > 0 && option->count() > static_cast<std::size_t>(most)) {
      return option->get_name() + " is given more than once; give it once";
    }
  }
  return "";
}

// Whether `path` names the file or pipe standard output writes into
// (/dev/stdout, or the file the listing is redirected to): a second writer
// there would write over the listing or mix its text into it. A terminal
// or /dev/null loses nothing to two writers and is not counted.
bool is_standard_output_file(const std::string& path) {
  struct stat output {}, named {};
  if (fstat(STDOUT_FILENO, &output) != 0 || S_ISCHR(output.st_mode)) return false;
  return stat(path.c_str(), &named) == 0 && named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}

// "-" as an output file means standard output, as "-" as the program means
// standard input. Standard output takes one writer, the listing or one
// output named "-" (or naming standard output's file): two would mix their
// texts into one stream. An output folder cannot be standard output.
bool name_standard_output(quilvar::runtime::RunOptions& options, std::string* error) {
  const struct {
    std::string_view option;
    std::string* path;
  } files[] = {{"--html", &options.html_path}, {"--json", &options.json_path}, {"--log", &options.log_path}};
  const struct {
    std::string_view option;
    const std::string& path;
  } folders[] = {{"--csv", options.csv_dir}, {"--plots", options.plots_dir}};
  for (const auto& folder : folders) {
    if (folder.path != "-") continue;
    *error = std::string(folder.option) + " - cannot go to standard output: " + std::string(folder.option) +
             " writes a file for each table or plot into a folder; give the folder's name";
    return false;
  }
  std::string writer = options.listing ? "the listing" : "";
  for (const auto& file : files) {
    const bool dash = *file.path == "-";
    if (!dash && (file.path->empty() || !is_standard_output_file(*file.path))) continue;
    const std::string named = std::string(file.option) + " " + *file.path;
    if (!writer.empty()) {
      *error = named + " and " + writer + " both write to standard output; " +
               (options.listing ? "add --no-listing, or give " + std::string(file.option) + " a file name"
                                : "give one of them a file name");
      return false;
    }
    writer = named;
    if (dash) *file.path = "/dev/stdout";
  }
  return true;
}

// The command line's options, written into options, libraries and
// no_listing as it is parsed.
std::unique_ptr<CLI::App> command_line(quilvar::runtime::RunOptions& options, std::vector<std::string>& libraries,
                                       bool& no_listing) {
  auto app = std::make_unique<CLI::App>(
      "Standardized event rates and risks: direct and indirect standardization, SMRs, rate and risk ratios, "
      "Mantel-Haenszel estimates and attributable fractions.",
      "quilvar");
  app->set_version_flag("--version", kVersion);
  app->add_option("program", options.program, "Program file to run (- reads standard input)")->required();
  app->add_option("--data-dir", options.data_dir, "Default library for data set names (default: the program's folder)")
      ->type_name("DIR")
      ->check(kNotAnOption);
  // One value per --lib, so that "--lib a=dir prog.qv" leaves the program name alone.
  app->add_option("--lib", libraries, "Named library NAME=DIR, so that data=NAME.member works (repeatable)")
      ->allow_extra_args(false)
      ->type_name("NAME=DIR")
      ->check(kNotAnOption);
  app->add_flag("--no-listing", no_listing, "Do not print the text listing to standard output");
  const struct {
    const char* name;
    std::string* value;
    const char* description;
    const char* value_name;
  } kOutputs[] = {
      {"--html", &options.html_path, "Write a self-contained HTML report to FILE (- for standard output)", "FILE"},
      {"--json", &options.json_path, "Write every output object as JSON to FILE (- for standard output)", "FILE"},
      {"--csv", &options.csv_dir, "Write one CSV file per table name into DIR", "DIR"},
      {"--plots", &options.plots_dir, "Write each plot as an SVG file into DIR", "DIR"},
      {"--log", &options.log_path, "Write the log to FILE instead of standard error (- for standard output)", "FILE"},
  };
  for (const auto& output : kOutputs) {
    app->add_option(output.name, *output.value, output.description)->type_name(output.value_name)->check(kNotAnOption);
  }
  app->add_flag("--no-graphics", options.no_graphics, "Make no plots, whatever the program asks for");
  app->add_flag("--strict", options.strict, "Exit with status 1 when a step ends with a warning");
  app->add_flag("--check", options.check,
                "Parse the program, check it against its data sets and compute each step's first BY group, "
                "writing no output");
  app->footer(
      "Exit status: 0 success (warnings allowed), 1 a step ended with an error, 2 command-line, program-file or "
      "module problem, or an output file not written.\nEnvironment: DEBUG=SYN,SEM switches on the parser traces; "
      "QUILVAR_MODULE_PATH names the procedure module; QUILVAR_STD_DIR names the folder of the standard "
      "populations (library std).");
  return app;
}

// A standard stream the program was started without (`quilvar job.qv >&-`)
// leaves its descriptor number free, and the next file opened would take it:
// the listing or the log would then be written into an output file. Each
// such descriptor is taken by /dev/null opened the other way round, so the
// stream stays unusable (its writes or reads fail as on a closed descriptor)
// and files opened later get numbers of their own.
void hold_closed_standard_streams() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", descriptor == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    // open gives the lowest free number, which is this one; anything else
    // (a number below was free too) is not kept.
    if (held >= 0 && held != descriptor) close(held);
  }
}

}  // namespace

int main(int argc, char** argv) {
  hold_closed_standard_streams();
  quilvar::runtime::write_standard_streams_through_descriptors();
  quilvar::runtime::RunOptions options;
  options.executable = argv[0];
  std::vector<std::string> libraries;
  bool no_listing = false;
  const std::unique_ptr<CLI::App> app = command_line(options, libraries, no_listing);
  try {
    app->parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version print what they were asked for; a command-line
    // problem is said under the program's name, like every other failure.
    if (e.get_exit_code() == 0) return app->exit(e);
    // Without a program, an unknown option (or a program named like one)
    // is what went wrong, not the program left out.
    const bool unplaced = dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr ||
                          (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && options.program.empty());
    std::string said = unplaced ? extras_message(*app, options.program) : "";
    if (said.empty() && dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) said = repeated_message(*app);
    std::cerr << "quilvar: " << (said.empty() ? e.what() : said) << "\nRun with --help for more information.\n";
    return quilvar::runtime::kExitUsage;
  }
  options.listing = !no_listing && !options.check;  // a check writes no listing
  std::string error;
  if (!add_libraries(libraries, options, &error) || !name_standard_output(options, &error)) {
    std::cerr << "quilvar: " << error << '\n';
    return quilvar::runtime::kExitUsage;
  }
  // Interrupted, terminated or cut off from its reader, the program leaves
  // no temporary output files behind.
  quilvar::runtime::output::install_signal_cleanup();
  try {
    return quilvar::runtime::run_program(options);
  } catch (const std::bad_alloc&) {
    quilvar::runtime::finish_progress();
    quilvar::runtime::output::end_run_on_failure(
        "quilvar: ERROR: out of memory (a memory limit, such as ulimit -v, is too small for this run); the run is "
        "stopped and the output files it was writing are removed\n");
  } catch (const std::exception& failure) {
    // Nothing else should reach here; if something does, it is said under
    // the program's name and the temporary files go, as for a lack of memory.
    quilvar::runtime::finish_progress();
    quilvar::runtime::output::end_run_on_failure(std::string("quilvar: ERROR: internal error: ") + failure.what() +
                                                 "; the run is stopped and the output files it was writing are "
                                                 "removed\n");
  }
}
