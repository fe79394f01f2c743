#include "run/RunRecord.h"

#include <map>
#include <string>

#include "store/AppFolder.h"
#include "store/TextFile.h"

namespace vorel {

namespace {

std::int64_t number(const std::map<std::string, std::string>& values, const char* key) {
    const auto it = values.find(key);
    if (it == values.end()) {
        return 0;
    }
    try {
        return std::stoll(it->second);
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

std::optional<LastRun> lastRunOf(const RunState& state, bool ended, std::int64_t started,
                                 std::int64_t finished) {
    if (state.alreadyRunning || state.notSetUp) {
        return std::nullopt;
    }
    LastRun run;
    run.started = started;
    run.ended = finished;
    run.signInStopped = state.signInStopped;
    run.counters = state.counters;
    if (!ended) {
        run.result = LastRun::Result::Failed;
    } else if (state.cancelRequested) {
        run.result = LastRun::Result::Cancelled;
    }
    return run;
}

const char* resultName(LastRun::Result result) {
    switch (result) {
        case LastRun::Result::Failed:
            return "failed";
        case LastRun::Result::Cancelled:
            return "cancelled";
        case LastRun::Result::Complete:
            break;
    }
    return "complete";
}

void writeLastRun(const std::string& folder, const LastRun& run) {
    const RunCounters& c = run.counters;
    const std::string text =
        "started=" + std::to_string(run.started) + "\nended=" + std::to_string(run.ended) +
        "\nresult=" + resultName(run.result) +
        "\nsignin_stopped=" + (run.signInStopped ? "1" : "0") +
        "\nantispam=" + std::to_string(c.antiSpam) + "\nprocessed=" + std::to_string(c.processed) +
        "\nautoresponders=" + std::to_string(c.autoresponders) +
        "\nsubscriptions=" + std::to_string(c.subscriptions) +
        "\nunsubscriptions=" + std::to_string(c.unsubscriptions) +
        "\nconfirmations=" + std::to_string(c.confirmations) + "\n";
    try {
        replaceFile(joinPath(folder, kLastRunFile), text, 0600);
    } catch (const std::exception&) {
        // The run's own log said what happened; only `vorel status` loses it.
    }
}

std::optional<LastRun> readLastRun(const std::string& folder) {
    const auto lines = readTextLines(joinPath(folder, kLastRunFile));
    if (!lines) {
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    for (const std::string& line : *lines) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    if (!values.count("result")) {
        return std::nullopt;
    }
    LastRun run;
    run.started = number(values, "started");
    run.ended = number(values, "ended");
    const std::string& result = values["result"];
    run.result = result == "failed"      ? LastRun::Result::Failed
                 : result == "cancelled" ? LastRun::Result::Cancelled
                                         : LastRun::Result::Complete;
    run.signInStopped = number(values, "signin_stopped") != 0;
    RunCounters& c = run.counters;
    c.antiSpam = static_cast<std::int32_t>(number(values, "antispam"));
    c.processed = static_cast<std::int32_t>(number(values, "processed"));
    c.autoresponders = static_cast<std::int32_t>(number(values, "autoresponders"));
    c.subscriptions = static_cast<std::int32_t>(number(values, "subscriptions"));
    c.unsubscriptions = static_cast<std::int32_t>(number(values, "unsubscriptions"));
    c.confirmations = static_cast<std::int32_t>(number(values, "confirmations"));
    return run;
}

}  // namespace vorel
