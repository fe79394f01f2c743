#pragma once

#include <chrono>
#include <optional>

namespace vorel {

// How a mailbox watcher paces its logins and runs, whatever the server does:
// one (or a middlebox) that drops every IDLE, or one that sends EXISTS
// without end, must not have it log in or run without pause.
class WatchPace {
public:
    using Clock = std::chrono::steady_clock;
    // An IDLE that held this long proves the connection: the pause before a
    // reconnection starts again from the first. A login that works proves
    // nothing (the server may drop the IDLE that follows).
    static constexpr std::chrono::seconds kProvenIdle{60};
    static constexpr std::chrono::seconds kMaxPause{300};
    // Runs asked for by IDLE start at least this far apart.
    static constexpr std::chrono::seconds kRunSpacing{5};

    explicit WatchPace(std::chrono::seconds firstPause = std::chrono::seconds(1))
        : first_(firstPause), next_(firstPause) {}

    // The connection failed or was lost: the pause before the next one,
    // which doubles each time up to kMaxPause.
    std::chrono::seconds afterFailure();
    // An IDLE ended (new mail, its time, or a drop) after `length`.
    void idleLasted(Clock::duration length);
    // When a run asked for by IDLE may start.
    Clock::time_point nextRunAt() const;
    void idleRunStarted(Clock::time_point at) { lastIdleRun_ = at; }

private:
    std::chrono::seconds first_;
    std::chrono::seconds next_;
    std::optional<Clock::time_point> lastIdleRun_;
};

}  // namespace vorel
