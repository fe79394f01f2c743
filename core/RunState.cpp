#include "core/RunState.h"

#include "core/Reporter.h"
#include "core/RunHost.h"

namespace vorel {

void RunContext::yield() {
    const RunRequests asked = host.yield();
    if (asked.stop) {
        state.cancelRequested = true;
    }
    if (asked.debugMode) {
        report.debugBoxClicked(*asked.debugMode);
    }
}

}  // namespace vorel
