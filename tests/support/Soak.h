#pragma once

#include <string>
#include <vector>

namespace vorel::test {

// Runs of the real `vorel run` through fault-injecting relays in front of the
// loopback servers, some killed at random moments, then clean runs, then a
// check against the seeded mailbox and the records queued meanwhile.
struct SoakOptions {
    unsigned seed = 1;
    int runs = 36;            // faulty or killed runs before the clean ones
    int messages = 30;        // seeded over the runs
    int extraRecords = 6;     // queued by another writer while runs go on
    int killWithinMs = 3000;  // a kill comes this long after the start at most (and within
                              // the time runs have been taking)
};

struct SoakResult {
    int runs = 0, killed = 0, hung = 0, exitedFailed = 0;  // exitedFailed: all ten tries failed
    int connections = 0, cuts = 0, stalls = 0, trickles = 0, rewrites = 0;
    int messages = 0, expectedReplies = 0, delivered = 0;
    int refused = 0;                    // in msgqueue.failed after an injected refusal
    int duplicates = 0;                 // extra copies whose earlier copy's session broke
    std::vector<std::string> problems;  // losses, unexplained copies, corruption ...
    std::string summary() const;
};

SoakResult runSoak(const SoakOptions& options);

}  // namespace vorel::test
