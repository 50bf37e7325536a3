// Shared pieces of the fuzz targets: a scratch folder per process and an
// in-process run of program text through the runtime and the statically
// linked procedure module, with every destination but a discarded listing
// switched off.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quilvar::fuzz {

// A folder under the system's temporary folder, unique to this process and
// removed at exit.
const std::filesystem::path& scratch_folder();

// Writes bytes to a file of the scratch folder, replacing it.
void write_file(const std::string& name, std::string_view bytes);

// Runs every step of the program text with the scratch folder as the data
// library; the log and the listing are discarded.
// With `every_destination` the run also writes the CSV files, the JSON
// document and the HTML report into the scratch folder.
void run_program_text(std::string_view text, bool every_destination = false);

// Splits data at the first occurrence of separator: the part before it is
// returned, data keeps the rest (empty when the separator is absent).
std::string_view take_section(std::string_view& data, std::string_view separator);

}  // namespace quilvar::fuzz
