// vorel post, import and export: the member editor's and the post window's
// work for scripts and schedulers, on the same code as the windows.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "base/Clock.h"
#include "base/FileIo.h"
#include "forms/ListPost.h"
#include "forms/ListRules.h"
#include "forms/MemberRules.h"
#include "mail/Subscriptions.h"
#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/SendLimits.h"

namespace vorel {

namespace {

int usage(const char* text) {
    std::fprintf(stderr, "%s\n", text);
    return kExitUsage;
}

int failure(const char* command, const std::string& text) {
    std::fprintf(stderr, "vorel %s: %s\n", command, text.c_str());
    return 1;
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

int cmdPost(const CommandLine& cl) {
    constexpr char kUsage[] =
        "usage: vorel post LIST --from ADDR --subject TEXT (--message-file FILE | --message TEXT) "
        "[--footer TEXT]";
    ListPost post;
    std::optional<std::string> from, subject, message, messageFile, footer;
    for (std::size_t i = 0; i < cl.args.size(); ++i) {
        const std::string& a = cl.args[i];
        std::optional<std::string>* target = nullptr;
        if (a == "--from") {
            target = &from;
        } else if (a == "--subject") {
            target = &subject;
        } else if (a == "--message") {
            target = &message;
        } else if (a == "--message-file") {
            target = &messageFile;
        } else if (a == "--footer") {
            target = &footer;
        } else if (post.listName.empty() && !a.empty() && a[0] != '-') {
            post.listName = a;
            continue;
        } else {
            return usage(kUsage);
        }
        if (i + 1 >= cl.args.size() || target->has_value()) {
            return usage(kUsage);
        }
        *target = cl.args[++i];
    }
    if (post.listName.empty() || !from || !subject ||
        message.has_value() == messageFile.has_value()) {
        return usage(kUsage);
    }
    if (messageFile) {
        // A folder or an unreadable file must never become an empty copy for every member.
        int err = 0;
        std::optional<std::string> text = readWholeFile(*messageFile, 0, &err);
        if (!text) {
            return failure("post", "cannot read " + *messageFile + ": " +
                                       (err == EISDIR ? "it is a folder" : std::strerror(err)));
        }
        post.message = std::move(*text);
    } else {
        post.message = *message;
    }
    post.from = *from;
    post.subject = *subject;

    const std::string folder = prepareAppFolder(cl);
    Database db = Database::open(databasePath(folder));
    std::optional<MailingList> list = db.findList(normaliseListName(post.listName));
    if (!list) {
        return failure("post", "there is no mailing list " + post.listName);
    }
    post.listName = list->Name;
    post.footer = footer ? *footer : list->textTOADD;
    if (const std::int64_t members = db.memberCount(post.listName); members > 0) {
        printLine(postReach(members, readSendLimits(folder).dailyLimit));
    }
    SystemClock clock;
    const std::size_t queued = postToList(db, folder, post, clock);
    if (queued == 0) {
        return failure("post", kNoMessagesToSend);
    }
    printLine(std::to_string(queued) + " copies queued for the next mail run");
    return 0;
}

int cmdImport(const CommandLine& cl) {
    if (cl.args.size() != 2) {
        return usage("usage: vorel import LIST FILE");
    }
    // Stored as the list editor stores the name.
    const std::string list = normaliseListName(cl.args[0]);
    const std::string folder = prepareAppFolder(cl);
    Database db = Database::open(databasePath(folder));
    // Rows of a list that does not exist would be stored where no window shows them.
    if (!db.findList(list)) {
        return failure("import", "there is no mailing list " + cl.args[0]);
    }
    const ImportResult result =
        importFile(db, list, cl.args[1], [](const std::vector<std::string>& lines) {
            for (const std::string& line : lines) {
                printLine(line);
            }
        });
    if (!result.ok) {
        std::fflush(stdout);
        return failure("import", result.message);
    }
    // Added at once: the user chose these addresses.
    printLine(addedCountText(result.added) + " to list " + list);
    printLine(result.message);
    return 0;
}

int cmdExport(const CommandLine& cl) {
    if (cl.args.size() != 2) {
        return usage("usage: vorel export LIST FILE");
    }
    const std::string list = normaliseListName(cl.args[0]);
    const std::string folder = prepareAppFolder(cl);
    Database db = Database::open(databasePath(folder));
    if (db.memberCount(list) == 0) {
        return failure("export", kNothingToExport);
    }
    if (cl.args[1] == "-") {
        // The addresses alone on standard output, for a pipe.
        std::fflush(stdout);
        const std::string problem = writeMembers(db, list, STDOUT_FILENO);
        return problem.empty() ? 0 : failure("export", "cannot write standard output: " + problem);
    }
    const Outcome exported = exportMembers(db, list, cl.args[1]);
    if (!exported.ok) {
        return failure("export", exported.message);
    }
    printLine(exported.message);
    return 0;
}

}  // namespace vorel
