// Serialises the host's calls into the window's logic. The logic sometimes
// waits inside a call (a message box, the ending's pauses) while the host's
// loop keeps running; whatever arrives meanwhile (clicks, timers, posted
// messages, close) runs after the waiting call, in order, or not at all once
// the dialog has ended.
#pragma once

#include <deque>
#include <functional>

class LogicEntry {
public:
    void Enter(std::function<void()> action) {
        if (ended_) return;
        if (inside_) {
            pending_.push_back(std::move(action));
            return;
        }
        inside_ = true;
        action();
        while (!pending_.empty() && !ended_) {
            std::function<void()> next = std::move(pending_.front());
            pending_.pop_front();
            next();
        }
        pending_.clear();
        inside_ = false;
    }

    // The dialog has ended: nothing more reaches the logic.
    void End() { ended_ = true; }

private:
    bool inside_ = false;
    bool ended_ = false;
    std::deque<std::function<void()>> pending_;
};
