#include <cstdio>
#include <exception>
#include <string>

#include "app/Commands.h"

namespace {

void printUsage() {
    std::fputs(
        "usage: vorel [--folder DIR] [COMMAND]\n"
        "  init        create the application folder and an empty data.mdb\n"
        "  run         carry out one mail run (--verbose: status lines to stderr)\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    auto cl = vorel::parseCommandLine(argc, argv);
    if (!cl) {
        printUsage();
        return vorel::kExitUsage;
    }
    try {
        if (cl->command == "init") {
            return vorel::cmdInit(*cl);
        }
        if (cl->command == "run") {
            return vorel::cmdRun(*cl);
        }
        if (cl->command == "help" || cl->command == "--help" || cl->command == "-h") {
            printUsage();
            return 0;
        }
        if (cl->command.empty()) {
            // The windows are not built yet; say so rather than do nothing.
            vorel::prepareAppFolder(*cl);
            std::fputs("vorel: the windows are not available in this build; use 'vorel run'.\n",
                       stderr);
            printUsage();
            return vorel::kExitUsage;
        }
        std::fprintf(stderr, "vorel: unknown command '%s'\n", cl->command.c_str());
        printUsage();
        return vorel::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorel: %s\n", e.what());
        return 1;
    }
}
