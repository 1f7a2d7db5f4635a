// Standard error that never holds the thread that writes to it: text goes
// through a bounded queue to a thread of its own, so a reader that stopped
// reading (a pipe, a terminal) stalls that thread only; what does not fit the
// queue is dropped. Each OS gives the write that may wait.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

class ErrorStream {
public:
    // writeAll writes every byte it is given, however long it takes; false
    // when it cannot (the stream is gone), after which nothing more is written.
    explicit ErrorStream(std::function<bool(const char* data, std::size_t size)> writeAll);

    void Write(const std::string& text);  // any thread; never waits for the reader
    // Waits at most milliseconds for what is queued to be written: messages
    // written just before the process ends are not lost to a quick exit.
    void Drain(unsigned milliseconds);

    struct State;

private:
    State* state_;  // shared with the writer thread, which lives as long as the process
};

}  // namespace platform
