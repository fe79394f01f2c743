#pragma once

#include <mutex>
#include <optional>

#include "core/RunHost.h"

namespace vorel {

// What the user asks of a run, stored by the window thread and handed to the
// run's thread at its next yield point. Each request goes over once.
class RunRequestBox {
public:
    void requestStop() {
        std::lock_guard lock(mutex_);
        pending_.stop = true;
    }
    // Only the box's latest state matters to the run.
    void setDebugMode(bool ticked) {
        std::lock_guard lock(mutex_);
        pending_.debugMode = ticked;
    }
    RunRequests take() {
        std::lock_guard lock(mutex_);
        RunRequests asked = pending_;
        pending_ = RunRequests{};
        return asked;
    }

private:
    std::mutex mutex_;
    RunRequests pending_;
};

}  // namespace vorel
