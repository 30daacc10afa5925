#pragma once
// Turns termination signals into bytes on a pipe, so that an event loop can end the program in
// its own time: a signal handler may do nothing more than write. Unix only (core/posix/).
//
// Call OpenSignalPipe once, on the main thread, before other threads start; DrainSignalPipe on the
// thread whose event loop watches the pipe. Neither blocks.
#include <initializer_list>

namespace corvanta {

// Installs a handler for each of `which` that writes one byte to the pipe, and returns the
// pipe's read end (non-blocking, closed on exec). Returns -1, leaving the signals alone, when no
// pipe could be made.
int OpenSignalPipe(std::initializer_list<int> which);

// Reads whatever the pipe holds; returns how many signals that was.
int DrainSignalPipe(int read_end);

}  // namespace corvanta
