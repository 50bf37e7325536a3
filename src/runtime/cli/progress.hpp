// A progress line on standard error for long runs: BY groups done,
// observations read and the rate. It appears only after two seconds and
// only when standard error is a terminal, so logs and pipes stay clean.
#pragma once

#include <string>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime {

// The data-set services with BY groups and reads counted for the progress
// line, around `inner`.
const host::DataSetServices& progress_counting_services(const host::DataSetServices& inner);

// The reader of the observation read last through those services, or null:
// a message about a value just read can name where it stands.
const host::Reader* last_reader_read();

// Shows no progress line in this run: a listing (or another output)
// written to the terminal of standard error would run into it.
void hide_progress();

// Clears the progress line, if one was shown; the next refresh shows it again.
void finish_progress();

// The text of the progress line for a terminal `columns` wide: shorter forms
// on narrow terminals, never more than one column less than the width, so
// that the terminal does not wrap it (a wrapped line is not overwritten by
// the next one and piles up on the screen).
std::string progress_line(long long groups, long long observations, double seconds, int columns);

}  // namespace quilvar::runtime
