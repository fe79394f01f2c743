// The long soak: many runs of the real program through fault-injecting relays
// in front of the loopback servers, some killed with SIGKILL at random
// moments; prints runs, faults injected, messages, duplicates and losses.
//
// Usage: soak_bench [ROUNDS [SEED]]   (default 5 rounds of 40 runs over 120
// messages each, seed from the clock; every round starts fresh servers)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "support/Soak.h"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                             : static_cast<unsigned>(std::time(nullptr));
    int problems = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round, ++seed) {
        vorel::test::SoakOptions o;
        o.seed = seed;
        o.runs = 40;
        o.messages = 120;
        o.extraRecords = 20;
        o.killWithinMs = 3000;
        try {
            const vorel::test::SoakResult r = vorel::test::runSoak(o);
            std::printf("round %d, seed %u:\n%s", round + 1, seed, r.summary().c_str());
            problems += static_cast<int>(r.problems.size());
        } catch (const std::exception& e) {
            std::printf("round %d, seed %u: failed: %s\n", round + 1, seed, e.what());
            ++problems;
        }
        std::fflush(stdout);
    }
    const auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::printf("%d rounds in %lld s, %d problems\n", rounds, static_cast<long long>(secs),
                problems);
    return problems == 0 ? 0 : 1;
}
