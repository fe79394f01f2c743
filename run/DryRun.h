#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/AntiSpam.h"
#include "store/Database.h"
#include "store/Queue.h"

namespace vorel {

class Clock;
class MailComponent;

// What a mail run would do with one message, worked out by the run's own
// handling in a scratch copy of the application folder (setup.ini,
// antispam.lst, data.mdb): nothing of the real folder is queued, counted,
// stored or sent.
struct DryRunResult {
    std::string from, to, subject;      // as the run compares them
    std::string databaseError;          // data.mdb could not be read; empty when it could
    std::optional<AntiSpamEntry> spam;  // the entry that deletes the message

    struct Verdict {
        std::string name;
        bool matches = false;
        // "matches (To)", "does not match: To differs ...", "does not match:
        // not active until ...", "matches (To); already answered on ...".
        std::string why;
    };
    std::vector<Verdict> autoresponders;

    std::vector<std::string> log;  // the run log lines of the handling

    enum class Kind { Reply, Forward, ListCopy };
    struct Queued {
        Kind kind;
        QueueRecord record;  // fields without line ends
    };
    std::vector<Queued> queued;
};

// `folder` is only read. `mail` holds the message (a FileMailComponent); a
// deletion the run would make is marked on it.
// With `only`, that row stands for every autoresponder (an editor's unsaved
// one) and no list is considered.
DryRunResult dryRun(const std::string& folder, MailComponent& mail, const Clock& clock,
                    const std::optional<Autoresponder>& only = std::nullopt);

}  // namespace vorel
