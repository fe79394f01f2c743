// vorel held, approve and reject: the list editor's held posts for scripts.
#include <cstdio>
#include <string>

#include "app/Commands.h"
#include "base/Clock.h"
#include "forms/HeldPostsForm.h"
#include "forms/ListRules.h"
#include "mail/Subscriptions.h"
#include "store/AppFolder.h"
#include "store/Database.h"

namespace vorel {

namespace {

int heldFailure(const char* command, const std::string& text) {
    std::fprintf(stderr, "vorel %s: %s\n", command, text.c_str());
    return 1;
}

// An ID as `vorel held` prints it: digits only.
bool readId(const std::string& text, std::int64_t& id) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    id = std::stoll(text);
    return true;
}

int decide(const CommandLine& cl, const char* command, bool approve) {
    if (cl.args.size() != 2) {
        std::fprintf(stderr, "usage: vorel %s LIST ID\n", command);
        return kExitUsage;
    }
    const std::string list = normaliseListName(cl.args[0]);
    std::int64_t id = 0;
    if (!readId(cl.args[1], id)) {
        return heldFailure(command, "no held post " + cl.args[1] + " in " + list);
    }
    const std::string folder = prepareAppFolder(cl);
    Database db = Database::open(databasePath(folder));
    SystemClock clock;
    const Outcome done = approve ? approveHeld(db, folder, list, id, clock)
                                 : rejectHeld(db, folder, list, id, clock);
    if (!done.ok) {
        return heldFailure(command, done.message);
    }
    std::printf("%s\n", done.message.c_str());
    return 0;
}

}  // namespace

int cmdHeld(const CommandLine& cl) {
    if (cl.args.size() != 1) {
        std::fprintf(stderr, "usage: vorel held LIST\n");
        return kExitUsage;
    }
    const std::string list = normaliseListName(cl.args[0]);
    Database db = Database::open(databasePath(prepareAppFolder(cl)));
    if (!db.findList(list)) {
        return heldFailure("held", "there is no mailing list " + cl.args[0]);
    }
    SystemClock clock;
    for (const HeldRow& row : heldRows(db, list, epochSeconds(clock.now()))) {
        std::printf("%s\n", heldLine(row).c_str());
    }
    return 0;
}

int cmdApprove(const CommandLine& cl) {
    return decide(cl, "approve", true);
}

int cmdReject(const CommandLine& cl) {
    return decide(cl, "reject", false);
}

}  // namespace vorel
