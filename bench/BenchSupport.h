#pragma once
// What the run benches share: a host that shows nothing, a fresh application
// folder, the settings of a run against the loopback servers, and the
// process's peak memory.
#include <cstdio>
#include <string>

#include "core/RunHost.h"
#include "store/Settings.h"

namespace vorel::test {
class PopServer;
}

namespace vorel::bench {

// Counts the log lines; shows only messages (on standard error).
class QuietHost : public RunHost {
public:
    long entries = 0;
    void setStatus(const std::string&) override {}
    void addLogEntry(const std::string&) override { ++entries; }
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string& t) override { std::fprintf(stderr, "%s\n", t.c_str()); }
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override { return {}; }
};

// A new folder under the temporary directory with an empty data.mdb.
std::string newAppFolder(const std::string& stem);

// Settings for a run of pop's account through the given loopback ports (a
// relay's or the servers' own): messages deleted, no program run at the end.
Settings loopbackSettings(const test::PopServer& pop, int popPort, int smtpPort);

std::string slurp(const std::string& path);
void spit(const std::string& path, const std::string& content);

// Resident memory at its peak in KB (VmHWM), and its reset. Not getrusage's
// ru_maxrss: that survives exec and cannot be reset.
long peakKb();
void resetPeak();

}  // namespace vorel::bench
