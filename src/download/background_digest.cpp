#include "download/background_digest.h"

#include <deque>
#include <mutex>

#include "platform/platform.h"

namespace {

// Far above what one transfer hands over at a time (16 KB), far below memory
// worth noticing: the download waits while the hash is this far behind.
constexpr std::size_t kMostQueuedBytes = 2 * 1024 * 1024;

enum class Step { kData, kCommit, kRollback };

struct Item {
    Step step;
    std::string bytes;
};

}  // namespace

struct BackgroundDigest::State {
    platform::Monitor monitor;  // guards what follows; notified at every change
    std::deque<Item> items;
    std::size_t queuedBytes = 0;
    bool closing = false;    // no more items come
    bool abandoned = false;  // nobody waits for the digest: drop what is left
    bool drained = false;    // the thread has hashed everything and ended
    bool inline_ = false;    // no thread: each item is applied as it comes
    platform::Sha256 committed;
    platform::Sha256 attempt;

    void Apply(const Item& item) {
        switch (item.step) {
            case Step::kData: attempt.Add(item.bytes.data(), item.bytes.size()); break;
            case Step::kCommit: committed = attempt; break;
            case Step::kRollback: attempt = committed; break;
        }
    }

    void Run() {
        std::unique_lock<platform::Monitor> lock(monitor);
        for (;;) {
            monitor.WaitUntil([this] { return !items.empty() || closing || abandoned; });
            if (abandoned || items.empty()) break;
            Item item = std::move(items.front());
            items.pop_front();
            queuedBytes -= item.bytes.size();
            monitor.NotifyAll();  // room for the download thread
            lock.unlock();
            Apply(item);
            lock.lock();
        }
        drained = true;
        monitor.NotifyAll();
    }

    void Push(Item item) {
        if (inline_) return Apply(item);
        std::lock_guard<platform::Monitor> lock(monitor);
        monitor.WaitUntil([this] { return queuedBytes < kMostQueuedBytes; });
        queuedBytes += item.bytes.size();
        items.push_back(std::move(item));
        monitor.NotifyAll();
    }
};

BackgroundDigest::BackgroundDigest() : state_(std::make_shared<State>()) {
    std::shared_ptr<State> state = state_;
    state_->inline_ = !platform::StartDetachedThread([state] { state->Run(); });
}

BackgroundDigest::~BackgroundDigest() {
    std::lock_guard<platform::Monitor> lock(state_->monitor);
    state_->abandoned = true;
    state_->monitor.NotifyAll();
}

void BackgroundDigest::Add(const char* data, std::size_t size) { state_->Push({Step::kData, std::string(data, size)}); }

void BackgroundDigest::Commit() { state_->Push({Step::kCommit, {}}); }

void BackgroundDigest::Rollback() { state_->Push({Step::kRollback, {}}); }

std::string BackgroundDigest::Finish() {
    if (!state_->inline_) {
        std::lock_guard<platform::Monitor> lock(state_->monitor);
        state_->closing = true;
        state_->monitor.NotifyAll();
        state_->monitor.WaitUntil([this] { return state_->drained; });
    }
    return state_->committed.Digest();
}
