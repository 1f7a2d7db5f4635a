#include "platform/error_stream.h"

#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace platform {

namespace {
constexpr std::size_t kQueueBytes = 65536;
}  // namespace

struct ErrorStream::State {
    std::function<bool(const char*, std::size_t)> writeAll;
    std::mutex mutex;
    std::condition_variable changed;
    std::string pending;
    bool writing = false;  // a write is under way outside the lock
    bool started = false;  // the writer thread runs
    bool broken = false;   // the stream is gone or no thread could start

    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (std::string text;;) {
            changed.wait(lock, [this] { return !pending.empty(); });
            text.swap(pending);
            writing = true;
            lock.unlock();
            const bool written = writeAll(text.data(), text.size());
            text.clear();
            lock.lock();
            writing = false;
            broken = broken || !written;
            if (broken) pending.clear();
            changed.notify_all();
            if (broken) return;
        }
    }
};

ErrorStream::ErrorStream(std::function<bool(const char*, std::size_t)> writeAll) : state_(new State) {
    state_->writeAll = std::move(writeAll);
}

void ErrorStream::Write(const std::string& text) {
    State* state = state_;
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->broken) return;
    if (!state->started) {  // the first message starts the writer
        state->started = platform::StartDetachedThread([state] { state->Run(); });
        state->broken = !state->started;
        if (state->broken) return;
    }
    if (state->pending.size() + text.size() <= kQueueBytes) state->pending += text;
    state->changed.notify_all();
}

void ErrorStream::Drain(unsigned milliseconds) {
    constexpr unsigned kStepMs = 10;  // a plain poll: no timed wait to carry in the exe
    for (unsigned waited = 0;; waited += kStepMs) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->broken || (state_->pending.empty() && !state_->writing)) return;
        }
        if (waited >= milliseconds) return;
        platform::SleepMilliseconds(kStepMs);
    }
}

}  // namespace platform
