#include "run/WatchPace.h"

#include <algorithm>

namespace vorel {

std::chrono::seconds WatchPace::afterFailure() {
    const std::chrono::seconds pause = next_;
    next_ = std::min(next_ * 2, std::max(first_, kMaxPause));
    return pause;
}

void WatchPace::idleLasted(Clock::duration length) {
    if (length >= kProvenIdle) {
        next_ = first_;
    }
}

WatchPace::Clock::time_point WatchPace::nextRunAt() const {
    return lastIdleRun_ ? *lastIdleRun_ + kRunSpacing : Clock::time_point{};
}

}  // namespace vorel
