#include "platform/error_stream.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr std::size_t kQueueBytes = 65536;  // beyond this, a reader that stopped reading loses text
constexpr unsigned kExitDrainMs = 200;

// Lives as long as the process: the writer thread is never joined.
struct ErrorQueue {
    Monitor monitor;  // guards what follows; notified when text is queued
    std::string pending;
    bool writing = false;  // a write is under way outside the lock
    bool started = false;  // the writer thread runs
    bool broken = false;   // the stream is gone or no thread could start

    void Run() {
        std::unique_lock<Monitor> lock(monitor);
        for (std::string text;;) {
            monitor.WaitUntil([this] { return !pending.empty(); });
            text.swap(pending);
            writing = true;
            lock.unlock();
            const bool written = WriteAllToStandardError(text.data(), text.size());
            text.clear();
            lock.lock();
            writing = false;
            if (!written) {
                broken = true;
                pending.clear();
                return;
            }
        }
    }
};

ErrorQueue& Queue() {
    static ErrorQueue* const queue = new ErrorQueue;
    return *queue;
}

}  // namespace

void WriteToStandardError(const std::string& text) {
    ErrorQueue& queue = Queue();
    std::lock_guard<Monitor> lock(queue.monitor);
    if (queue.broken) return;
    if (!queue.started) {  // the first message starts the writer
        queue.started = StartDetachedThread([&queue] { queue.Run(); });
        queue.broken = !queue.started;
        if (queue.broken) return;
    }
    if (queue.pending.size() + text.size() <= kQueueBytes) queue.pending += text;
    queue.monitor.NotifyAll();
}

void DrainStandardError(unsigned milliseconds) {
    constexpr unsigned kStepMs = 10;  // a plain poll: no timed wait to carry in the exe
    ErrorQueue& queue = Queue();
    for (unsigned waited = 0;; waited += kStepMs) {
        {
            std::lock_guard<Monitor> lock(queue.monitor);
            if (queue.broken || (queue.pending.empty() && !queue.writing)) return;
        }
        if (waited >= milliseconds) return;
        SleepMilliseconds(kStepMs);
    }
}

void ExitProcessNow() {
    DrainStandardError(kExitDrainMs);
    std::_Exit(0);  // no static destructors, no stream flushing
}

}  // namespace platform
