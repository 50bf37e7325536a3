// Temporary output files removed when the program is ended by a signal
// (an interrupt or quit key, a termination request, a hang-up, a closed
// pipe on standard output, a CPU time limit, a batch scheduler's warning),
// so that an interrupted run leaves no hidden partial files beside the
// outputs of the last complete run.
//
// A signal handler can only reach process-wide storage, so the paths sit in
// one fixed table, written by the threads that create and finish files and
// read by the handler without locks: each entry carries a sequence number
// that is odd while its path is being written, and the handler removes a
// path only when it read the whole of it under one even number.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace quilvar::runtime::output {

// Handlers for SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGXCPU, SIGUSR1
// and SIGUSR2 that remove every registered file and then end the process by
// the same signal, so the exit status is what it would have been. A signal
// ignored when this is called (a background job's SIGINT, SIGHUP under
// nohup) stays ignored. SIGXFSZ is ignored, so that a write past a file
// size limit fails with an error naming the file; SIGBUS is handled as
// guard_mapping describes.
void install_signal_cleanup();

// Registers a file to remove on such a signal; returns a token for
// unregister_temporary_file, or -1 when the path is too long or the table
// is full (the file is then not removed on a signal).
int register_temporary_file(const std::filesystem::path& path);

// Brackets the creation of a registered file (open with O_CREAT), so that a
// handler never removes the files while one is half made and then lets it
// appear: begin_creating does not return once a handler has started (the
// process is ending), and a handler waits for a creation in progress.
void begin_creating(int token);
void end_creating(int token);

// Registers a folder made for a registered file, so that a run ended by
// such a signal takes it away again: after the files, each registered
// folder that is then empty is removed, deepest first. Returns a token for
// unregister_temporary_file, or -1 as register_temporary_file does.
int register_made_folder(const std::filesystem::path& path);

// Stops removing the file or folder of a token (-1 is ignored).
void unregister_temporary_file(int token);

// Removes every registered file and empty folder now, as the handlers do;
// for tests.
void remove_registered_files();

// A file mapped into memory and read through the mapping faults (SIGBUS)
// when another process truncates it while it is read: the pages past its
// new end no longer exist. A guarded mapping turns that fault into an
// orderly end: the handler installed by install_signal_cleanup writes
// `message` (the whole line, file name included) to standard error,
// removes the registered temporary files and ends the process with
// kTruncatedMappingExit. A fault outside every guarded mapping keeps the
// default action. Returns a token for unguard_mapping, or -1 when the
// message is too long or the table full (the fault then ends the process
// by SIGBUS, as before).
inline constexpr int kTruncatedMappingExit = 2;
int guard_mapping(const void* start, std::size_t size, std::string_view message);
void unguard_mapping(int token);

// Ends the run as a cut-short mapping does (message on standard error,
// registered files removed, exit status kTruncatedMappingExit), for a
// failure it cannot recover from: a data set file found to have changed size
// after the run mapped it (what was read is not the whole file), or memory
// exhausted while the output files are completed. Files half written are
// removed rather than left or presented as complete.
[[noreturn]] void end_run_on_failure(std::string_view message);

}  // namespace quilvar::runtime::output
