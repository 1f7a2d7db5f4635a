// A stand-in window that keeps what the worker posts to it.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/platform.h"

class RecordingWindow : public MessageSink {
public:
    void Post(unsigned message, std::uintptr_t wParam) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.emplace_back(message, wParam);
    }
    std::vector<std::pair<unsigned, std::uintptr_t>> Messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<unsigned, std::uintptr_t>> messages_;
};
