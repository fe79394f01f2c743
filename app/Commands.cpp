#include "app/Commands.h"

#include <cstdio>

#include "store/AppFolder.h"
#include "store/Database.h"

namespace vorel {

std::optional<CommandLine> parseCommandLine(int argc, char** argv) {
    CommandLine cl;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--folder") {
            if (i + 1 >= argc) {
                std::fputs("vorel: --folder needs a folder\n", stderr);
                return std::nullopt;
            }
            cl.folder = argv[++i];
        } else if (a.rfind("--folder=", 0) == 0) {
            cl.folder = a.substr(9);
        } else if (cl.command.empty() && !a.empty() && a[0] != '-') {
            cl.command = a;
        } else {
            cl.args.push_back(a);
        }
    }
    if (cl.folder && cl.folder->empty()) {
        std::fputs("vorel: --folder needs a folder\n", stderr);
        return std::nullopt;
    }
    return cl;
}

std::string prepareAppFolder(const CommandLine& cl) {
    std::string folder = resolveAppFolder(cl.folder);
    ensureFolder(folder);
    checkFolderIsPrivate(folder);
    // No installer ships the empty database, so start-up provides it.
    std::string db = databasePath(folder);
    Database::createIfMissing(db);
    Database::upgradeSchema(db);
    return folder;
}

int cmdInit(const CommandLine& cl) {
    if (!cl.args.empty()) {
        std::fprintf(stderr, "vorel init: unexpected argument '%s'\n", cl.args.front().c_str());
        return kExitUsage;
    }
    std::string folder = prepareAppFolder(cl);
    // Fail loudly on a data.mdb that is not a database rather than print a path.
    Database::open(databasePath(folder));
    std::printf("%s\n", folder.c_str());
    return 0;
}

}  // namespace vorel
