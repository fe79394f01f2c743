#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>

#include "core/RunHost.h"

namespace vorel {

// SIGINT and SIGTERM act as the stop button of the headless commands.
bool stopRequested();
void resetStopRequest();
// A second signal ends the program at once (SA_RESETHAND).
void installStopHandlers();
void restoreDefaultHandlers();

// The terminal as the run's surroundings: the run log on standard output,
// everything else on standard error or nowhere.
class TerminalHost : public RunHost {
public:
    TerminalHost(bool verbose, std::string command)
        : verbose_(verbose), command_(std::move(command)) {}

    void setStatus(const std::string& text) override {
        if (verbose_) {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    void addLogEntry(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    // The server transcript goes to debug.log only.
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    // Nobody is there to answer: the careful answer.
    bool askYesNo(const std::string& text) override {
        std::fprintf(stderr, "%s (answered No)\n", text.c_str());
        return false;
    }
    RunRequests yield() override {
        RunRequests asked;
        if (stopRequested() && !stopped_) {
            stopped_ = true;
            asked.stop = true;
            std::fprintf(stderr, "%s: stopping after the item at hand\n", command_.c_str());
        }
        return asked;
    }

private:
    bool verbose_;
    std::string command_;
    bool stopped_ = false;
};

}  // namespace vorel
