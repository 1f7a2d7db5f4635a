// Standard error that never holds the thread that writes to it: text goes
// through a bounded queue to a thread of its own (error_stream.cpp, which also
// implements WriteToStandardError, DrainStandardError and ExitProcessNow), so a
// reader that stopped reading (a pipe, a terminal) stalls that thread only.
#pragma once

#include <cstddef>

namespace platform {

// Each OS's write to standard error: every byte, however long it takes; false
// when it cannot (no stream, or it is gone), after which nothing more is written.
bool WriteAllToStandardError(const char* data, std::size_t size);

}  // namespace platform
