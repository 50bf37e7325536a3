// The runtime's data sets: CSV or TSV files opened by name, typed by their
// values, read by the module through the host data-set services, one BY
// group at a time.
//
// Files. Comma-separated (".tsv": tab-separated) text, UTF-8 with an
// optional byte order mark, LF or CRLF line ends, fields in double quotes
// where they hold delimiters, quotes ("" for one) or line breaks. The first
// record holds the variable names: letters, digits and underscores, not
// starting with a digit, at most 32 characters, unique regardless of case
// (blanks around a name are dropped). Only a delimiter or a line end may
// follow a closing quote; a quote inside an unquoted field is data. Empty
// lines are skipped, so a blank value of a one-column file is written "".
// A file with a header and no rows is a data set with no observations.
//
// Variables. A column is numeric when every non-blank value is a number or
// a missing value (see values.hpp); otherwise character, with the length
// of its longest value in bytes (at least 1, at most 32767). Labels are the
// names; there are no formats; the formatted width is 16 for numbers and
// the length for character variables. Formatted numbers are the shortest
// text that reads back as the same double (whole numbers below 1E15 in
// full), right-aligned.
//
// Names. `name` finds name.csv, then name.tsv, in the default library
// folder, ignoring case (when several files match, the exact spelling
// wins, else the name is ambiguous); `lib.name` does the same in library
// LIB; library WORK, unless given, is the default library. A quoted path
// is taken relative to the program's folder; it is tab-separated when it
// ends in ".tsv". The name attribute is the name as written, upper-cased
// ("WORK.POP" for work.pop, "POP" for pop); a quoted path keeps its text.
//
// BY groups. With BY variables, each run of equal BY values is a group; the
// data must be sorted by them (DESCENDING reverses one variable's order;
// numbers by value with missing values lowest, character values by bytes
// with trailing blanks ignored) unless NOTSORTED is given. Without BY
// variables the whole data set is one group; a data set without
// observations has no group, so the caller reports "no observations".
// Reading keeps one observation at a time, and of the mapped file only the
// pages near the reading position stay in the process: memory does not
// grow with the file or with the groups.
//
// Reference matching. match_by_group positions a reference data set on the
// observations whose values of the population's BY variables equal the
// population's current ones (the reference need not be sorted; an index
// from BY values to row ranges is built on the first match). When the types
// differ, a number is compared with a character value through its
// formatted text. A reference is matched on the BY variables it holds (a
// standard population by year serves every cause of that year); one that
// holds none of them is served whole for every group.
//
// Services. get_attribute answers 167 (the name, a CountedText) and 23
// (open status, always 1); select_variables takes code 70 and records the
// numbers; reset_selection also drops the reader's bindings. A data set has
// one reader: create_reader hands out the same one, cleared. Binding kinds:
// 0 a number into 8 bytes (numeric variables only), 4 the formatted value,
// 8 the raw characters (for a numeric variable, its formatted value), both
// blank-padded or cut to the buffer. read_next gives 1 for an observation
// of the current group, 0 at its end, -1 on failure; next_by_group 1 when
// positioned on the next group, 0 when none is left; rewind_group takes
// code 66; match_by_group gives 0, 1 when no group matches, 2 on failure.
// Service functions never throw; a failure is a non-zero status, and the
// reader keeps the text of its last error for read_error, which hands it
// to the data set's error sink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime::datasets {

struct Libraries {
  std::filesystem::path default_dir;
  std::map<std::string, std::filesystem::path> named;  // upper-case library name -> folder
  std::filesystem::path program_dir;                    // base of quoted paths
};

// Receives full error texts (naming file and line) from read_error.
using ErrorSink = void (*)(void* context, std::string_view message);

struct ByVariable {
  std::string name;
  bool descending = false;
};

struct ByValue {
  std::string name;  // as written in the file's header
  bool numeric = false;
  double number = 0;  // numeric variables
  std::string text;   // the formatted value, trimmed
};

// Opens a data set: `written` is `name` or `lib.name`, or a path when quoted.
// Returns the new handle (owned by the caller until close_data_set), or
// nullptr with *error naming the data set or file, the line and the
// problem: file not found or unreadable, empty file, malformed quoting,
// rows with too many or too few fields, invalid or duplicate names.
host::DataSet* open_data_set(const Libraries& libraries, std::string_view written, bool quoted,
                             std::string* error);

// Releases the data set with its reader and buffers; nullptr is ignored.
void close_data_set(host::DataSet* data);

// Where read_error reports; without a sink the texts are dropped.
void set_error_sink(host::DataSet* data, ErrorSink sink, void* context);

// Sets the BY variables (an empty list removes them) and leaves the data
// set before its first group. Returns false with *error, and the data set
// without BY variables, when a variable is not in the data set or given
// twice, or, unless notsorted, when the data are not in BY order (naming
// the first observation out of order, its line and values).
bool set_by_variables(host::DataSet* data, std::span<const ByVariable> variables, bool notsorted,
                      std::string* error);

// The current group's BY values, in BY order; empty before the first group
// and without BY variables.
std::vector<ByValue> current_by_values(const host::DataSet* data);

// A number that changes whenever the data set moves to another BY group.
std::uint64_t current_group_serial(const host::DataSet* data);

int variable_count(const host::DataSet* data);
std::int64_t observation_count(const host::DataSet* data);

// Notes on how the file was read, for the user: which file was read when
// both x.csv and x.tsv exist, and one for each column read as character
// although it holds mostly numbers, naming the line and value of its first
// text (a stray "NA" in a column of counts, say).
const std::vector<std::string>& layout_notes(const host::DataSet* data);

// "line N of FILE" for the reader's current observation, or empty when it
// has none.
std::string observation_place(const host::Reader* reader);

// The path of the data set's file, as opened.
const std::string& data_set_file(const host::DataSet* data);

// The variable numbers declared with select_variables since the last
// reset_selection, in the order declared.
const std::vector<int>& selected_variables(const host::DataSet* data);

// The service table the module calls.
const host::DataSetServices& data_set_services();

// The same table, except that a data set is positioned on its first BY
// group only: next_by_group gives 0 once a group has been visited. A check
// of a program computes one group, which is enough to show whether its
// strata match the reference and its values can be used.
const host::DataSetServices& first_group_services();

}  // namespace quilvar::runtime::datasets
