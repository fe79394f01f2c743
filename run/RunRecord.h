#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/RunState.h"

namespace vorel {

// How the last mail run of a folder ended, kept in lastrun.ini so that
// `vorel status` and the notices can say it without reading log.txt (which
// chkLOG may switch off). Written by whoever ran doRunMail.
struct LastRun {
    enum class Result { Complete, Failed, Cancelled };
    std::int64_t started = 0;  // seconds since the epoch
    std::int64_t ended = 0;
    Result result = Result::Complete;
    // It stopped because it could not sign in (an expired sign-in, no secret).
    bool signInStopped = false;
    RunCounters counters;
};

inline constexpr char kLastRunFile[] = "lastrun.ini";

// The record of a doRunMail that returned `ended`; none when it did nothing
// (another run held the folder, or there is no setup.ini yet).
std::optional<LastRun> lastRunOf(const RunState& state, bool ended, std::int64_t started,
                                 std::int64_t finished);
// "complete", "failed" or "cancelled".
const char* resultName(LastRun::Result result);

// Writes lastrun.ini (owner-only); a failure costs only the record, never
// the run, so it is ignored.
void writeLastRun(const std::string& folder, const LastRun& run);
// None when the folder has no readable record.
std::optional<LastRun> readLastRun(const std::string& folder);

}  // namespace vorel
