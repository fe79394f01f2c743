#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/RunHost.h"

namespace vorel::test {

// A RunHost that records what a run shows (allDebugLines() survives clearing); it answers No.
class RecordingHost : public RunHost {
public:
    void setStatus(const std::string& text) override { statuses_.push_back(text); }
    void addLogEntry(const std::string& text) override {
        log_.push_back(text);
        if (onLog_) {
            onLog_(text);
        }
    }
    void addDebugLine(const std::string& text) override {
        debug_.push_back(text);
        allDebug_.push_back(text);
    }
    void clearDebugLines() override { debug_.clear(); }
    void setDebugModeBox(bool ticked) override { box_ = ticked; }
    void showMessage(const std::string& text) override { messages_.push_back(text); }
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override { return onYield_ ? onYield_() : RunRequests{}; }
    // What the user asks at each yield (e.g. a stop after some progress).
    void setOnYield(std::function<RunRequests()> fn) { onYield_ = std::move(fn); }

    // Called after every run-log entry is recorded.
    void setOnLogEntry(std::function<void(const std::string&)> fn) { onLog_ = std::move(fn); }

    const std::vector<std::string>& statuses() const { return statuses_; }
    const std::vector<std::string>& logEntries() const { return log_; }
    const std::vector<std::string>& messages() const { return messages_; }
    const std::vector<std::string>& debugLines() const { return debug_; }
    const std::vector<std::string>& allDebugLines() const { return allDebug_; }
    bool debugModeBox() const { return box_; }
    bool hasLogEntry(const std::string& text) const {
        return std::find(log_.begin(), log_.end(), text) != log_.end();
    }
    int countLogContaining(const std::string& part) const {
        return static_cast<int>(std::count_if(log_.begin(), log_.end(), [&](const std::string& e) {
            return e.find(part) != std::string::npos;
        }));
    }
    std::string logText() const {  // one entry a line, for failure messages
        std::string s;
        for (const auto& e : log_) {
            s += e + "\n";
        }
        return s;
    }

private:
    std::vector<std::string> statuses_, log_, debug_, allDebug_, messages_;
    std::function<void(const std::string&)> onLog_;
    bool box_ = false;
    std::function<RunRequests()> onYield_;
};

}  // namespace vorel::test
