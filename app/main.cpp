#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "app/Commands.h"
#include "app/Modules.h"
#include "forms/StartUp.h"
#include "store/AppFolder.h"

namespace {

void printUsage(std::FILE* to = stderr) {
    std::fputs(
        "usage: vorel [--folder DIR] [-R] [--tray] [COMMAND]\n"
        "       vorel --version | --help\n"
        "  (none)      open the windows; -R starts a mail run whenever the main window opens,\n"
        "              --tray starts in the tray (or the countdown window) with the auto-run on\n"
        "  init        create the application folder and an empty data.mdb\n"
        "  run         carry out one mail run (--verbose: status lines to stderr)\n"
        "  watch [--poll SECONDS]   a mail run whenever new mail arrives (IMAP IDLE),\n"
        "              else every SECONDS (180)\n"
        "  try FILE    what a mail run would do with one saved message; changes nothing\n"
        "  post LIST --from ADDR --subject TEXT (--message-file FILE | --message TEXT)\n"
        "              [--footer TEXT]   queue a message to every member of a list\n"
        "  import LIST FILE   add the addresses of a text file to a list\n"
        "  export LIST FILE   write a list's addresses to a text file\n"
        "  held LIST   the list's held posts: ID, From, Subject, date, why (tab-separated)\n"
        "  approve LIST ID | reject LIST ID   send a held post's copies, or delete it\n"
        "  login --provider microsoft|custom [--client-id ID] [--authorize-url URL]\n"
        "        [--token-url URL] [--scope \"S ...\"] [--no-browser] [--device] [--no-keyring]\n"
        "              sign in with OAuth2 for the mail runs of the folder\n"
        "  status [--json]   what the last run did, the queue, the lists, the sign-in and\n"
        "              what needs attention (exit 1 when something does)\n"
        "  config [KEY [VALUE]]   list or set a setting; config txtPASSWORD - [--no-keyring]\n"
        "              reads the password from standard input\n"
        "  autoresponder list | show NAME | add NAME [--FIELD VALUE ...] | remove NAME\n"
        "  list list | show NAME | add NAME [--FIELD VALUE ...] | remove NAME\n"
        "  member LIST add ADDR | remove ADDR | release ADDR | list [--held]\n"
        "  antispam list | add ENTRY | remove ENTRY\n"
        "  --version   print the version; --help   print this\n",
        to);
}

}  // namespace

int main(int argc, char** argv) {
    // Neither needs a display nor an application folder: answered before any
    // window-system start, so they work on a server.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--version") {
            std::printf("vorel %d.%d.%d\n", VOREL_VERSION_MAJOR, VOREL_VERSION_MINOR,
                        VOREL_VERSION_PATCH);
            return 0;
        }
        if (a == "--help" || a == "-h") {
            printUsage(stdout);
            return 0;
        }
    }
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
        if (cl->command == "login") {
            return vorel::cmdLogin(*cl);
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
        if (cl->command == "status") {
            return vorel::cmdStatus(*cl);
        }
        if (cl->command == "config") {
            return vorel::cmdConfig(*cl);
        }
        if (cl->command == "autoresponder") {
            return vorel::cmdAutoresponder(*cl);
        }
        if (cl->command == "list") {
            return vorel::cmdList(*cl);
        }
        if (cl->command == "member") {
            return vorel::cmdMember(*cl);
        }
        if (cl->command == "antispam") {
            return vorel::cmdAntispam(*cl);
        }
        if (cl->command == "held") {
            return vorel::cmdHeld(*cl);
        }
        if (cl->command == "approve") {
            return vorel::cmdApprove(*cl);
        }
        if (cl->command == "reject") {
            return vorel::cmdReject(*cl);
        }
        if (cl->command == "help") {
            printUsage(stdout);
            return 0;
        }
        if (cl->command.empty()) {
            // Qt aborts without a display; say what to do instead.
            if (!vorel::hasDisplay([](const char* name) {
                    const char* v = std::getenv(name);
                    return std::string(v ? v : "");
                })) {
                std::fprintf(stderr, "%s\n", vorel::kNoDisplayMessage);
                return vorel::kExitUsage;
            }
            std::string folder;
            try {
                folder = vorel::prepareAppFolder(*cl);
            } catch (const vorel::FolderRefused& e) {
                std::fprintf(stderr, "vorel: %s\n", e.what());
                return vorel::showStartFailure(e.what(), argc, argv, vorel::kExitFolder);
            }
            return vorel::openWindows(folder, cl->args, argc, argv);
        }
        std::fprintf(stderr, "vorel: unknown command '%s'\n", cl->command.c_str());
        printUsage();
        return vorel::kExitUsage;
    } catch (const vorel::FolderRefused& e) {
        std::fprintf(stderr, "vorel: %s\n", e.what());
        return vorel::kExitFolder;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorel: %s\n", e.what());
        return 1;
    }
}
