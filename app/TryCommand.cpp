// vorel try: what a mail run would do with one saved message. The run's own
// handling works on a scratch copy of the folder (run/DryRun), so nothing of
// the real folder is queued, counted, stored or sent.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>

#include "app/Commands.h"
#include "base/Clock.h"
#include "base/FileIo.h"
#include "core/Reporter.h"
#include "net/FileMailComponent.h"
#include "run/DryRun.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

void printIndented(const std::string& text, const char* indent) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::printf("%s%s\n", indent, shownText(line).c_str());
    }
}

const char* kindName(DryRunResult::Kind kind) {
    switch (kind) {
        case DryRunResult::Kind::Forward:
            return "Forward (the whole message)";
        case DryRunResult::Kind::ListCopy:
            return "List copy";
        case DryRunResult::Kind::Reply:
            break;
    }
    return "Reply";
}

// What comes from the message is printed as the run shows it
// (shownText): a subject cannot drive the terminal.
void print(const DryRunResult& r, const std::string& file, const std::string& folder,
           bool deleted) {
    std::printf("Message %s\n", file.c_str());
    std::printf("  From: %s\n  To: %s\n  Subject: %s\n", shownText(r.from).c_str(),
                shownText(r.to).c_str(), shownText(r.subject).c_str());
    std::printf("Folder %s (nothing in it is changed)\n", folder.c_str());
    if (!r.databaseError.empty()) {
        std::printf("  data.mdb cannot be read: %s\n", r.databaseError.c_str());
    }
    if (r.spam) {
        std::printf(
            "Anti-spam: the message would be DELETED (entry From \"%s\", Subject \"%s\", "
            "To \"%s\")\nNothing else would be done with it.\n",
            shownText(r.spam->from).c_str(), shownText(r.spam->subject).c_str(),
            shownText(r.spam->to).c_str());
        return;
    }
    std::printf("Anti-spam: not deleted\n");
    std::printf("Autoresponders:\n");
    if (r.autoresponders.empty()) {
        std::printf("  none set up\n");
    }
    for (const DryRunResult::Verdict& v : r.autoresponders) {
        std::printf("  %s: %s\n", v.name.c_str(), shownText(v.why).c_str());
    }
    std::printf("The run would log:\n");
    for (const std::string& line : r.log) {
        std::printf("  %s\n", shownText(line).c_str());
    }
    std::printf("It would queue:\n");
    if (r.queued.empty()) {
        std::printf("  nothing\n");
    }
    for (const DryRunResult::Queued& q : r.queued) {
        std::printf("  %s\n", kindName(q.kind));
        std::printf("    To: %s\n    From: %s\n    Subject: %s\n", shownText(q.record.to).c_str(),
                    shownText(q.record.from).c_str(), shownText(q.record.subject).c_str());
        if (q.kind != DryRunResult::Kind::Forward) {
            std::printf("    Body:\n");
            printIndented(q.record.body, "      ");
        }
    }
    if (deleted) {
        std::printf("The message would then be deleted from the server.\n");
    }
}

}  // namespace

int cmdTry(const CommandLine& cl) {
    if (cl.args.size() != 1 || cl.args[0].rfind("--", 0) == 0) {
        std::fputs("usage: vorel try FILE [--folder DIR]\n", stderr);
        return kExitUsage;
    }
    const std::string file = cl.args[0];
    int err = 0;
    const std::optional<std::string> raw = readWholeFile(file, 0, &err);
    if (!raw && err == EISDIR) {
        std::fprintf(stderr, "vorel try: %s is a folder, not a message file\n", file.c_str());
        return 1;
    }
    if (!raw) {
        std::fprintf(stderr, "vorel try: cannot read the message file %s: %s\n", file.c_str(),
                     std::strerror(err));
        return 1;
    }
    // The real folder is only read: no folder or database is made for it.
    const std::string folder = resolveAppFolder(cl.folder);
    if (fileExists(folder)) {
        checkFolderIsPrivate(folder);
    }
    FileMailComponent mail(*raw);
    SystemClock clock;
    const DryRunResult result = dryRun(folder, mail, clock);
    print(result, file, folder, mail.deleted());
    return 0;
}

}  // namespace vorel
