// A progress line on standard error for long runs: BY groups done,
// observations read and the rate. It appears only after two seconds and
// only when standard error is a terminal, so logs and pipes stay clean.
#pragma once

#include "quilvar/host/services.hpp"

namespace quilvar::runtime {

// The data-set services with BY groups and reads counted for the progress
// line, around `inner`.
const host::DataSetServices& progress_counting_services(const host::DataSetServices& inner);

// The reader of the observation read last through those services, or null:
// a message about a value just read can name where it stands.
const host::Reader* last_reader_read();

// Clears the progress line, if one was shown.
void finish_progress();

}  // namespace quilvar::runtime
