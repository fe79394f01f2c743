#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/RunHost.h"

namespace vorel::test {

// A RunHost that records everything the run shows, for tests to inspect.
// Nothing is ever cleared from the records: debugLines() is the list as it
// stands now (cleared by clearDebugLines), allDebugLines() everything ever
// added. events() has one line per call in order, e.g. "status Connected...",
// "log No messages to download!", "debug +OK", "clearDebug", "box 1",
// "message Please set up ...", "ask Are you sure?", "yield".
class RecordingHost : public RunHost {
public:
    void setStatus(const std::string& text) override;
    void addLogEntry(const std::string& text) override;
    void addDebugLine(const std::string& text) override;
    void clearDebugLines() override;
    void setDebugModeBox(bool ticked) override;
    void showMessage(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    RunRequests yield() override;

    // Script ---------------------------------------------------------------
    // Answers for askYesNo, used in order; No once they run out.
    void setAnswers(std::vector<bool> answers) { answers_ = std::move(answers); }
    // Called at every yield; what it returns is handed to the run (e.g. a
    // stop after some progress).
    void setOnYield(std::function<RunRequests()> fn) { onYield_ = std::move(fn); }
    // Called after every run-log entry is recorded.
    void setOnLogEntry(std::function<void(const std::string&)> fn) { onLog_ = std::move(fn); }

    // Record ---------------------------------------------------------------
    const std::vector<std::string>& statuses() const { return statuses_; }
    const std::vector<std::string>& logEntries() const { return log_; }
    const std::vector<std::string>& debugLines() const { return debug_; }
    const std::vector<std::string>& allDebugLines() const { return allDebug_; }
    const std::vector<std::string>& messages() const { return messages_; }
    const std::vector<std::string>& questions() const { return questions_; }
    const std::vector<std::string>& events() const { return events_; }
    bool debugModeBox() const { return box_; }
    int debugClears() const { return debugClears_; }
    int yields() const { return yields_; }

    // True when some run-log entry equals `text`.
    bool hasLogEntry(const std::string& text) const;
    // Number of run-log entries that contain `part`.
    int countLogContaining(const std::string& part) const;
    // All run-log entries, one per line (for failure messages).
    std::string logText() const;

private:
    std::vector<std::string> statuses_, log_, debug_, allDebug_, messages_, questions_, events_;
    std::vector<bool> answers_;
    std::size_t nextAnswer_ = 0;
    std::function<RunRequests()> onYield_;
    std::function<void(const std::string&)> onLog_;
    bool box_ = false;
    int debugClears_ = 0;
    int yields_ = 0;
};

}  // namespace vorel::test
