// Opening data sets by name or path, and the handle's plain accessors.
#include <algorithm>
#include <new>
#include <system_error>

#include "runtime/datasets/data_set.hpp"
#include "runtime/output/signal_cleanup.hpp"
#include "runtime/text/case.hpp"

namespace quilvar::runtime::datasets {

namespace {

using text::lower_case;
using text::upper_case;

namespace fs = std::filesystem;

struct ResolvedFile {
  fs::path path;
  char delimiter = ',';
  std::string name;   // the name attribute
  std::string note;   // for the user about the choice of file, or empty
};

constexpr std::string_view kWorkLibrary = "WORK";
constexpr std::string_view kFileExtensions[] = {".csv", ".tsv"};
constexpr char kQuotedIsAPath[] = "; a quoted name is a file path: write ";
constexpr char kBackslashes[] = "; folders in a path are separated by \"/\" (a backslash is part of a file name)";

bool is_name(std::string_view part) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  return !part.empty() && part.size() <= 32 && letter(part[0]) &&
         std::all_of(part.begin(), part.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

char delimiter_for(const fs::path& path) {
  return upper_case(path.extension().string()) == ".TSV" ? '\t' : ',';
}

// The files in dir whose names equal wanted, ignoring case; the exact
// spelling first.
std::vector<fs::path> find_files_named(const fs::path& dir, const std::string& wanted, std::error_code* code) {
  std::vector<fs::path> found;
  const std::string upper = upper_case(wanted);
  for (fs::directory_iterator it(dir, *code), end; !*code && it != end; it.increment(*code)) {
    const std::string file = it->path().filename().string();
    std::error_code ignored;
    if (upper_case(file) == upper && it->is_regular_file(ignored)) found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  std::stable_partition(found.begin(), found.end(), [&](const fs::path& p) { return p.filename() == wanted; });
  return found;
}

// A folder that may be searched but not listed (execute permission without
// read, as shared folders often are) cannot be scanned for the name in any
// letter case: the member's file is looked for under the spellings a user
// writes, as given, in lower case and in upper case, .csv before .tsv.
bool find_unlisted_member(const fs::path& dir, std::string_view member, fs::path* path) {
  for (const char* extension : {".csv", ".tsv"}) {
    for (const std::string& spelling : {std::string(member), lower_case(member), upper_case(member)}) {
      std::error_code ignored;
      if (fs::is_regular_file(dir / (spelling + extension), ignored)) {
        *path = dir / (spelling + extension);
        return true;
      }
    }
  }
  return false;
}

// Finds member.csv, then member.tsv, in dir; false with *error. *note
// says so when both exist.
bool find_member_file(const fs::path& dir, std::string_view member, const std::string& name, fs::path* path,
                      std::string* note, std::string* error) {
  std::error_code code;
  for (const char* extension : {".csv", ".tsv"}) {
    const std::vector<fs::path> found = find_files_named(dir, std::string(member) + extension, &code);
    if (code) break;
    if (found.size() == 1 || (found.size() > 1 && found[0].filename() == std::string(member) + extension)) {
      *path = found[0];
      const fs::path tab_separated = fs::path(found[0]).replace_extension(".tsv");
      std::error_code ignored;
      if (std::string_view(extension) == ".csv" && fs::is_regular_file(tab_separated, ignored)) {
        *note = "data set " + name + ": both " + path->filename().string() + " and " +
                tab_separated.filename().string() + " exist in \"" + dir.string() + "\"; " +
                path->filename().string() + " is read";
      }
      return true;
    }
    if (found.size() > 1) {
      *error = "data set " + name + " is ambiguous: " + found[0].string() + " and " + found[1].string() +
               " differ only in case";
      return false;
    }
  }
  if (code == std::errc::permission_denied && find_unlisted_member(dir, member, path)) return true;
  if (code) {
    *error = "data set " + name + ": cannot read folder \"" + dir.string() + "\": " + code.message();
    return false;
  }
  // A name that is there but is no regular file: say what it is rather
  // than that nothing was found.
  std::error_code ignored;
  for (const char* extension : {".csv", ".tsv"}) {
    const fs::path there = dir / (std::string(member) + extension);
    const fs::file_status status = fs::status(there, ignored);
    const std::string prefix = "data set " + name + ": \"" + there.string() + "\" is ";
    if (fs::is_directory(status)) {
      *error = prefix + "a folder, not a data file";
      return false;
    }
    if (const std::string problem = special_file_problem(status); !problem.empty()) {
      *error = prefix + problem;
      return false;
    }
    if (!fs::exists(status) && fs::is_symlink(fs::symlink_status(there, ignored))) {
      *error = prefix + "a symbolic link to \"" + fs::read_symlink(there, ignored).string() +
               "\", which does not exist";
      return false;
    }
  }
  *error = "data set " + name + " not found: no " + std::string(member) + ".csv or " + std::string(member) +
           ".tsv in \"" + dir.string() + "\"";
  return false;
}

// The folder of library `library` (upper case); false with *error.
bool find_library(const Libraries& libraries, const std::string& library, const std::string& name, fs::path* dir,
                  std::string* error) {
  const auto named = libraries.named.find(library);
  if (named != libraries.named.end()) {
    *dir = named->second;
    return true;
  }
  if (library == kWorkLibrary) {
    *dir = libraries.default_dir;
    return true;
  }
  *error = "data set " + name + ": unknown library " + library;
  return false;
}

bool resolve_name(const Libraries& libraries, std::string_view written, ResolvedFile* file, std::string* error) {
  const std::size_t dot = written.find('.');
  const std::string_view member = dot == std::string_view::npos ? written : written.substr(dot + 1);
  const std::string_view library = dot == std::string_view::npos ? std::string_view() : written.substr(0, dot);
  file->name = upper_case(written);
  if (!is_name(member) || (dot != std::string_view::npos && !is_name(library))) {
    *error = "data set name \"" + std::string(written) + "\" is not valid (a name or library.name)";
    return false;
  }
  fs::path dir = libraries.default_dir;
  if (!library.empty() && !find_library(libraries, upper_case(library), file->name, &dir, error)) {
    // "regions.csv" reads as member CSV of library REGIONS: name the file's
    // two right spellings.
    const std::string extension = std::string(".").append(member);
    if (std::any_of(std::begin(kFileExtensions), std::end(kFileExtensions),
                    [&](std::string_view known) { return upper_case(known) == upper_case(extension); })) {
      error->append("; a name with a dot is library.member: to read the file ").append(written);
      error->append(" write ").append(library).append(" (the extension is added) or the quoted path '").append(written).append("'");
    }
    return false;
  }
  if (!find_member_file(dir, member, file->name, &file->path, &file->note, error)) return false;
  file->delimiter = delimiter_for(file->path);
  return true;
}

bool resolve_written(const Libraries& libraries, std::string_view written, bool quoted, ResolvedFile* file,
                  std::string* error) {
  if (!quoted) return resolve_name(libraries, written, file, error);
  const fs::path path{std::string(written)};
  file->path = path.is_absolute() ? path : libraries.program_dir / path;
  file->delimiter = delimiter_for(file->path);
  file->name = std::string(written);
  return true;
}

// A file whose size changed after it was mapped was read only as it stood
// then: an export still writing it leaves its last line cut anywhere (a
// count of 1234 read as 12) and its later lines unread.
std::string changed_size_problem(const std::string& file_name) {
  return "data set file \"" + file_name +
         "\" changed size while it was being read (another program is still writing it, or rewrote it), so what "
         "was read is not the whole file: let that program finish, then run again";
}

// Bytes checked for UTF-8, or counted for lines, between two hand-backs of
// the pages read.
constexpr std::size_t kPassChunk = std::size_t{4} << 20;

// The offset of the file's first byte outside well-formed UTF-8 (the text's
// size when there is none). The check goes through the file in chunks and
// hands back the pages behind it as it goes, so that it does not leave the
// whole file in memory: reading holds only the largest BY group's part.
std::size_t first_invalid_utf8_in(const DataSetState& data) {
  const CsvText& text = data.text;
  std::size_t kept_from = 0;
  std::size_t start = 0;
  while (start < text.size) {
    std::size_t end = std::min(text.size, start + kPassChunk);
    // End the chunk before a sequence's continuation bytes, never inside one.
    while (end < text.size && end > start && is_continuation_byte(text.data[end])) --end;
    if (end == start) end = std::min(text.size, start + kPassChunk);
    const std::size_t found = start + first_invalid_utf8(text.data + start, end - start);
    data.file.release_before(text.data + end, &kept_from);
    if (found < end) return found;
    start = end;
  }
  return text.size;
}

}  // namespace

std::int64_t line_in_file(const DataSetState& data, std::size_t offset) {
  const CsvText& text = data.text;
  offset = std::min(offset, text.size);
  std::size_t kept_from = data.file.page_start(static_cast<std::size_t>(text.data - data.file.data()));
  std::int64_t line = 1;
  for (std::size_t start = 0; start < offset;) {
    const std::size_t end = std::min(offset, start + kPassChunk);
    line += std::count(text.data + start, text.data + end, '\n');
    data.file.release_before(text.data + end, &kept_from);
    start = end;
  }
  return line;
}

namespace {

host::DataSet* open_resolved(const ResolvedFile& resolved, std::string* error) {
  auto data = std::make_unique<DataSetState>();
  if (!data->file.open(resolved.path, error)) return nullptr;
  const std::size_t mark = byte_order_mark_length(data->file.data(), data->file.size());
  data->text = CsvText{data->file.data() + mark, data->file.size() - mark, resolved.delimiter};
  data->file_name = resolved.path.string();
  data->name = resolved.name;
  if (!read_layout(data.get(), error)) return nullptr;
  if (data->file.size_changed()) {
    *error = changed_size_problem(data->file_name);
    return nullptr;
  }
  if (!resolved.note.empty()) data->layout_notes.insert(data->layout_notes.begin(), resolved.note);
  // Reports and plots are UTF-8: a file saved in another encoding shows
  // its accented letters as replacement characters, so say where.
  const std::size_t invalid = first_invalid_utf8_in(*data);
  if (invalid < data->text.size) {
    data->layout_notes.push_back(data->file_name + ", line " + std::to_string(line_in_file(*data, invalid)) +
                                 ", column " +
                                 std::to_string(column_of(data->text, invalid)) +
                                 ": the file is not UTF-8 text, so some of its letters show as replacement "
                                 "characters in the reports; save it as UTF-8");
  }
  return handle_of(data.release());
}

// What to write instead of a quoted path that names no file: the data set
// name, when the path lacks only its extension; "/" for backslashes.
std::string quoted_path_hint(const ResolvedFile& resolved, std::string_view written) {
  std::error_code ignored;
  if (written.find('\\') != std::string_view::npos) return kBackslashes;
  if (!resolved.path.extension().empty() || fs::exists(resolved.path, ignored)) return "";
  for (std::string_view extension : kFileExtensions) {
    fs::path with_extension = resolved.path;
    with_extension += extension;
    if (!fs::is_regular_file(with_extension, ignored)) continue;
    // The path as written, folders kept, with the extension that finds the file.
    std::string hint = kQuotedIsAPath;
    hint.append("'").append(written).append(extension).append("'");
    if (is_name(written)) hint.append(", or the name ").append(written).append(" without quotes");
    return hint;
  }
  return "";
}

}  // namespace

host::DataSet* open_data_set(const Libraries& libraries, std::string_view written, bool quoted, std::string* error) {
  try {
    ResolvedFile resolved;
    if (!resolve_written(libraries, written, quoted, &resolved, error)) return nullptr;
    host::DataSet* data = open_resolved(resolved, error);
    if (data == nullptr && quoted) error->append(quoted_path_hint(resolved, written));
    return data;
  } catch (const std::bad_alloc&) {
    *error = "data set " + std::string(written) + ": out of memory";
    return nullptr;
  }
}

void close_data_set(host::DataSet* data) {
  DataSetState* state = state_of(data);
  // Results computed from part of a file are not shown as the file's.
  if (state->file.size_changed()) {
    output::end_run_on_failure("quilvar: ERROR: " + changed_size_problem(state->file_name) +
                                     "; the run is stopped and no output files are written\n");
  }
  delete state;
}

void set_error_sink(host::DataSet* data, ErrorSink sink, void* context) {
  state_of(data)->sink = sink;
  state_of(data)->sink_context = context;
}

int variable_count(const host::DataSet* data) { return static_cast<int>(state_of(data)->variables.size()); }

std::int64_t observation_count(const host::DataSet* data) { return state_of(data)->observations; }

const std::string& data_set_file(const host::DataSet* data) { return state_of(data)->file_name; }

const std::vector<std::string>& layout_notes(const host::DataSet* data) { return state_of(data)->layout_notes; }

const std::vector<int>& selected_variables(const host::DataSet* data) { return state_of(data)->selection; }

}  // namespace quilvar::runtime::datasets
