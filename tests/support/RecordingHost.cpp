#include "support/RecordingHost.h"

namespace vorel::test {

void RecordingHost::setStatus(const std::string& text) {
    statuses_.push_back(text);
    events_.push_back("status " + text);
}

void RecordingHost::addLogEntry(const std::string& text) {
    log_.push_back(text);
    events_.push_back("log " + text);
    if (onLog_) {
        onLog_(text);
    }
}

void RecordingHost::addDebugLine(const std::string& text) {
    debug_.push_back(text);
    allDebug_.push_back(text);
    events_.push_back("debug " + text);
}

void RecordingHost::clearDebugLines() {
    debug_.clear();
    ++debugClears_;
    events_.push_back("clearDebug");
}

void RecordingHost::setDebugModeBox(bool ticked) {
    box_ = ticked;
    events_.push_back(ticked ? "box 1" : "box 0");
}

void RecordingHost::showMessage(const std::string& text) {
    messages_.push_back(text);
    events_.push_back("message " + text);
}

bool RecordingHost::askYesNo(const std::string& text) {
    questions_.push_back(text);
    events_.push_back("ask " + text);
    return nextAnswer_ < answers_.size() ? answers_[nextAnswer_++] : false;
}

RunRequests RecordingHost::yield() {
    ++yields_;
    events_.push_back("yield");
    return onYield_ ? onYield_() : RunRequests{};
}

bool RecordingHost::hasLogEntry(const std::string& text) const {
    for (const auto& e : log_) {
        if (e == text) {
            return true;
        }
    }
    return false;
}

int RecordingHost::countLogContaining(const std::string& part) const {
    int n = 0;
    for (const auto& e : log_) {
        if (e.find(part) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

std::string RecordingHost::logText() const {
    std::string s;
    for (const auto& e : log_) {
        s += e;
        s += '\n';
    }
    return s;
}

}  // namespace vorel::test
