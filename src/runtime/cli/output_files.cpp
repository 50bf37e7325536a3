// Output files of the command line: clashes refused up front, and the log
// file's stream.
#include "runtime/cli/output_files.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace quilvar::runtime {
namespace {

namespace fs = std::filesystem;

struct NamedPath {
  std::string_view option;
  const std::string& given;
  fs::path path;  // links followed, absolute and normal; empty when not given
};

// The file a name leads to, its links followed, as a normal absolute path.
fs::path final_file(const std::string& name) {
  if (name.empty()) return {};
  output::OutputTarget target;
  std::string ignored;
  if (!output::resolve_output_target(name, &target, &ignored)) target.path = name;
  std::error_code code;
  const fs::path absolute = fs::absolute(target.path, code);
  fs::path normal = fs::weakly_canonical(absolute, code);
  if (code) normal = absolute.lexically_normal();
  // "out/" and "out" name one folder.
  return normal.has_filename() ? normal : normal.parent_path();
}

// One file when both exist and are the same file, or when they have one path.
bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code code;
  return fs::equivalent(a, b, code) || a == b;
}

}  // namespace

bool check_output_files(const RunOptions& options, std::string* error) {
  const std::array<NamedPath, 3> files{{{"--log", options.log_path, final_file(options.log_path)},
                                        {"--html", options.html_path, final_file(options.html_path)},
                                        {"--json", options.json_path, final_file(options.json_path)}}};
  const std::array<NamedPath, 2> folders{{{"--csv", options.csv_dir, final_file(options.csv_dir)},
                                          {"--plots", options.plots_dir, final_file(options.plots_dir)}}};
  const fs::path program = options.program == "-" ? fs::path() : final_file(options.program);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const NamedPath& file = files[i];
    if (file.path.empty()) continue;
    const std::string& name = file.given;
    if (!program.empty() && same_file(file.path, program)) {
      *error = std::string(file.option) + " names the program file " + name + ", which would be overwritten";
      return false;
    }
    for (std::size_t j = i + 1; j < files.size(); ++j) {
      if (files[j].path.empty() || !same_file(file.path, files[j].path)) continue;
      *error = std::string(file.option) + " and " + std::string(files[j].option) + " name the same file " + name +
               "; each output needs a file of its own";
      return false;
    }
    for (const NamedPath& folder : folders) {
      if (folder.path.empty() || !same_file(file.path, folder.path)) continue;
      *error = std::string(file.option) + " names " + name + ", the " + std::string(folder.option) + " folder";
      return false;
    }
  }
  return true;
}

LogFile::Buffer::int_type LogFile::Buffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char text = traits_type::to_char_type(ch);
  keep(std::string_view(&text, 1));
  return ch;
}

std::streamsize LogFile::Buffer::xsputn(const char* text, std::streamsize size) {
  keep(std::string_view(text, static_cast<std::size_t>(size)));
  return size;
}

void LogFile::Buffer::keep(std::string_view text) {
  file_.write(text);
  const std::size_t room = kKeptBytes - std::min(kKeptBytes, kept_.text.size());
  kept_.text.append(text.substr(0, room));
  kept_.dropped += text.size() - std::min(room, text.size());
}

std::string LogFile::text() const {
  if (kept_.dropped == 0) return kept_.text;
  return kept_.text + "\nquilvar: " + std::to_string(kept_.dropped) +
         " more bytes of the log are lost with its file\n";
}

}  // namespace quilvar::runtime
