#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "app/Commands.h"
#include "gui/AppWindows.h"
#include "gui/StartUp.h"

namespace {

void printUsage() {
    std::fputs(
        "usage: vorel [--folder DIR] [-R] [COMMAND]\n"
        "  (none)      open the windows; -R starts a mail run whenever the main window opens\n"
        "  init        create the application folder and an empty data.mdb\n"
        "  run         carry out one mail run (--verbose: status lines to stderr)\n"
        "  watch [--poll SECONDS]   a mail run whenever new mail arrives (IMAP IDLE),\n"
        "              else every SECONDS (180)\n"
        "  try FILE    what a mail run would do with one saved message; changes nothing\n"
        "  post LIST --from ADDR --subject TEXT (--message-file FILE | --message TEXT)\n"
        "              [--footer TEXT]   queue a message to every member of a list\n"
        "  import LIST FILE   add the addresses of a text file to a list\n"
        "  export LIST FILE   write a list's addresses to a text file\n",
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
        if (cl->command == "watch") {
            return vorel::cmdWatch(*cl);
        }
        if (cl->command == "try") {
            return vorel::cmdTry(*cl);
        }
        if (cl->command == "post") {
            return vorel::cmdPost(*cl);
        }
        if (cl->command == "import") {
            return vorel::cmdImport(*cl);
        }
        if (cl->command == "export") {
            return vorel::cmdExport(*cl);
        }
        if (cl->command == "help" || cl->command == "--help" || cl->command == "-h") {
            printUsage();
            return 0;
        }
        if (cl->command.empty()) {
            const auto& a = cl->args;
            if (std::find(a.begin(), a.end(), "--help") != a.end()) {
                printUsage();
                return 0;
            }
            // Qt aborts without a display; say what to do instead.
            if (!vorel::hasDisplay([](const char* name) {
                    const char* v = std::getenv(name);
                    return std::string(v ? v : "");
                })) {
                std::fprintf(stderr, "%s\n", vorel::kNoDisplayMessage);
                return vorel::kExitUsage;
            }
            std::string folder = vorel::prepareAppFolder(*cl);
            return vorel::runWindows(folder, cl->args, argc, argv);
        }
        std::fprintf(stderr, "vorel: unknown command '%s'\n", cl->command.c_str());
        printUsage();
        return vorel::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorel: %s\n", e.what());
        return 1;
    }
}
