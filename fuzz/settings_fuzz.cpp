// setup.ini as its three readers take it, and every interpretation rule on
// whatever a line holds.
#include <cstdio>

#include "FuzzSupport.h"
#include "store/Settings.h"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::scratchFolder();
    fuzz::writeFile(folder + "/setup.ini", fuzz::bytes(data, size));

    Settings s;
    const auto lines = readSettingsLines(folder, s);
    VOREL_FUZZ_CHECK(lines && *lines >= 0 && *lines <= Settings::kLineCount);
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        const std::string& line = s.line(n);
        leadingNumber(line);
        roundedNumber(line);
        lineIsOnUnlessZero(line);
        lineIsOnWhenNonZero(line);
    }
    debugModeOn(s.chkDEBUG);
    runTimeout(s.txtTIMEOUT);
    readSettingsForWindow(folder);
    readAutoRunInterval(folder, 17);
    return 0;
}
