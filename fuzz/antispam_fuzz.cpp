// antispam.lst as the run reads it: each line split into its three patterns,
// the address patterns with readable domains.
#include <cstdio>

#include "FuzzSupport.h"
#include "base/Idn.h"
#include "store/AntiSpam.h"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::scratchFolder();
    fuzz::writeFile(folder + "/antispam.lst", fuzz::bytes(data, size));
    for (const std::string& line : readAntiSpamLines(folder)) {
        const AntiSpamEntry e = splitAntiSpamLine(line);
        VOREL_FUZZ_CHECK(e.from.size() + e.subject.size() + e.to.size() <= line.size());
        // The run compares the patterns in the form inbound addresses take.
        readableDomains(e.from);
        readableDomains(e.to);
    }
    return 0;
}
