// A DialogHost without a screen: controls and page elements are plain
// values, time is a counter that WaitPainting advances, threads are real but
// post into a queue that the test delivers when it chooses.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/ctovik_downloader_dlg.h"
#include "app/dialog_host.h"

struct FakeControl {
    bool visible = true;
    bool enabled = true;
    bool checked = false;
    std::string text;
};

class FakeHost : public DialogHost, public MessageSink {
public:
    std::map<int, FakeControl> controls;
    std::map<std::string, std::map<std::string, std::string>> page;  // element -> property -> value
    bool pageLoaded = true;
    int progress = 0;
    int focus = 0;
    std::map<int, std::string> accessibleNames;
    std::vector<std::string> spoken;      // the progress bar's names, in order
    std::map<unsigned, unsigned> timers;  // id -> interval
    std::vector<std::string> log;         // the order of visible steps
    std::vector<std::string> messageBoxes;
    int threadsStarted = 0;
    bool runThreads = true;        // off: threads are only counted, for tests that end before they would
    int threadsAllowed = 1 << 30;  // StartThread refuses once this many have started
    int endResult = 0;
    long long now = 0;  // fake milliseconds
    std::function<void(long long)> onTime;

    // MessageSink: from any thread.
    void Post(unsigned message, std::uintptr_t wParam) override {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.emplace_back(message, wParam);
    }
    // Delivers what was posted, in order; waits up to timeoutMs for at least one.
    int Deliver(CtovikDownloaderDlg& dialog, int timeoutMs = 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::deque<std::pair<unsigned, std::uintptr_t>> batch;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                batch.swap(queue_);
            }
            if (!batch.empty()) {
                for (const auto& m : batch) dialog.OnMessage(m.first, m.second);
                return static_cast<int>(batch.size());
            }
            if (std::chrono::steady_clock::now() >= end) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void ShowControl(int id, bool show) override { controls[id].visible = show; }
    bool IsControlVisible(int id) override { return controls[id].visible; }
    void EnableControl(int id, bool enable) override { controls[id].enabled = enable; }
    bool IsChecked(int id) override { return controls[id].checked; }
    void SetControlText(int id, const std::string& text) override { controls[id].text = text; }
    void RedrawControl(int) override {}
    void SetProgressPosition(int position) override { progress = position; }
    int ProgressPosition() override { return progress; }
    void FocusControl(int id) override { focus = id; }
    void SetAccessibleName(int id, const std::string& name) override {
        accessibleNames[id] = name;
        if (id == IDC_PROGRESS) spoken.push_back(name);
    }
    bool GetElementProperty(const std::string& id, const std::string& name, std::string& value) override {
        if (!pageLoaded || !page.count(id)) return false;
        value = page[id][name];
        return true;
    }
    bool SetElementProperty(const std::string& id, const std::string& name, const std::string& value) override {
        if (!pageLoaded || !page.count(id)) return false;
        page[id][name] = value;
        return true;
    }
    WindowHandle Window() override { return this; }
    void SetTimer(unsigned id, unsigned ms) override { timers[id] = ms; }
    void KillTimer(unsigned id) override { timers.erase(id); }
    bool StartThread(std::function<void()> body) override {
        if (threadsStarted >= threadsAllowed) {
            log.push_back("no thread");
            return false;
        }
        ++threadsStarted;
        if (runThreads) std::thread(std::move(body)).detach();
        return true;
    }
    void ShowMessageBox(const std::string& text) override {
        messageBoxes.push_back(text);
        log.push_back("message box");
    }
    void HideWindow() override { log.push_back("hide at " + std::to_string(now)); }
    void EndDialog(int result) override {
        endResult = result;
        log.push_back("end " + std::to_string(result) + " at " + std::to_string(now));
    }
    void WaitPainting(unsigned ms) override {
        now += ms;
        if (onTime) onTime(now);
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // let helper threads run
    }

private:
    std::mutex mutex_;
    std::deque<std::pair<unsigned, std::uintptr_t>> queue_;
};
