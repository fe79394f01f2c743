#include "run/DryRun.h"

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "base/Clock.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/CopyProof.h"
#include "mail/MessageRules.h"
#include "mail/Outbound.h"
#include "mail/Processing.h"
#include "mail/Subscriptions.h"
#include "run/MailRun.h"
#include "store/AppFolder.h"
#include "store/PostingTrust.h"

namespace vorel {

namespace {

namespace fs = std::filesystem;

// The run's log lines are collected; nobody is asked anything.
class CollectingHost : public RunHost {
public:
    void setStatus(const std::string&) override {}
    void addLogEntry(const std::string& text) override { log.push_back(text); }
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string& text) override { log.push_back(text); }
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override { return {}; }

    std::vector<std::string> log;
};

// A scratch folder removed with everything in it.
class Scratch {
public:
    Scratch() {
        std::string tmpl = (fs::temp_directory_path() / "vorel-try-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string path;
};

// Copies the files a run reads; the copies are what the handling may change.
// data.mdb goes through SQLite, never by its file: the windows may hold it
// open in this process, and closing a descriptor of it would drop their locks.
// The copies' key proves a delivery report as the run would.
void copyRunFiles(const std::string& from, const std::string& to) {
    std::error_code ec;
    for (const char* name : {kSettingsFile, kCopyKeyFile, kPostingFile}) {
        fs::copy_file(joinPath(from, name), joinPath(to, name), ec);
    }
    if (std::optional<std::string> spam = findAntiSpamFile(from)) {
        fs::copy_file(*spam, joinPath(to, fs::path(*spam).filename().string()), ec);
    }
}

std::string withoutLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// The autoresponder pass's own rules, said in words. `answered`: when the
// row last answered the sender, if that holds its reply back.
DryRunResult::Verdict verdict(const Autoresponder& row, const std::string& to,
                              const std::string& subject, std::int64_t arrival,
                              std::optional<std::int64_t> answered) {
    const RuleMatch m = autoresponderMatches(row, to, subject);
    DryRunResult::Verdict v{row.Name, static_cast<bool>(m), {}};
    const Activity activity = activityAt(row, arrival);
    if (m && activity != Activity::Active) {
        v.matches = false;
        v.why = "does not match: " + activityWords(row, activity) + " (the message arrived " +
                periodText(arrival) + ")";
    } else if (m && answered) {
        v.why = std::string(m.to ? "matches (To)" : "matches (Subject)") + "; " +
                answeredWords(row, *answered);
    } else if (m.to && m.subject) {
        v.why = "matches (To and Subject)";
    } else if (m.to) {
        v.why = "matches (To)";
    } else if (m.subject) {
        v.why = "matches (Subject)";
    } else {
        v.why = "does not match: To differs (" + quoted(to) + " is not " + quoted(row.To) +
                "), Subject differs (" + quoted(subject) + " is not " + quoted(row.Subject) + ")";
    }
    return v;
}

}  // namespace

DryRunResult dryRun(const std::string& folder, MailComponent& mail, const Clock& clock,
                    const std::optional<Autoresponder>& only) {
    Scratch scratch;
    copyRunFiles(folder, scratch.path);

    CollectingHost host;
    Reporter report(scratch.path, host, clock);
    RunState state;
    readSettingsLines(scratch.path, state.settings);
    state.antiSpam = readAntiSpamEntries(scratch.path);

    DryRunResult result;
    const std::string db = databasePath(scratch.path);
    try {
        if (const std::string own = databasePath(folder); fileExists(own) || !only) {
            Database::copy(own, db);
        } else {
            Database::createIfMissing(db);
        }
        state.db.emplace(Database::open(db));
        Database::upgradeSchema(db);
        if (only) {
            state.autoresponderRows = std::vector<Autoresponder>{*only};
            // The saved row of that name: whom it answered holds for the edits too.
            if (const std::optional<Autoresponder> saved =
                    state.db->findAutoresponder(only->Name)) {
                state.autoresponderRows->front().id = saved->id;
            }
            state.listRows = std::vector<MailingList>{};
            makeComparable(*state.autoresponderRows);
        } else {
            loadTryRows(state);
        }
    } catch (const std::exception& e) {
        result.databaseError = e.what();
    }

    mail.fetchHeader();
    fillHeaderDefaults(mail);
    reduceToAddresses(mail);
    result.from = mail.from();
    result.to = mail.to();
    result.subject = mail.subject();

    for (const AntiSpamEntry& e : state.antiSpam) {
        if (spamEntryMatches(e, result.from, result.to, result.subject)) {
            result.spam = e;
            return result;
        }
    }
    if (state.autoresponderRows) {
        const std::int64_t arrival = arrivalTime(mail, clock);
        const std::int64_t now = epochSeconds(clock.now());
        for (const Autoresponder& row : *state.autoresponderRows) {
            std::optional<std::int64_t> answered;
            if (state.db && autoresponderMatches(row, result.to, result.subject)) {
                answered = answeredWithinPeriod(*state.db, row, result.from, now);
            }
            result.autoresponders.push_back(
                verdict(row, result.to, result.subject, arrival, answered));
        }
    }
    if (!state.db) {
        return result;
    }

    RunContext ctx{scratch.path, state, report, mail, clock, host};
    processMessage(ctx, 1);
    result.log = host.log;

    const std::string queue = joinPath(scratch.path, kQueueFile);
    if (fileExists(queue)) {
        QueueReader reader(queue);
        while (!reader.atEnd()) {
            QueueRecord r = reader.readRecord();
            // The note the handling made for the record says what it is, as
            // it tells the sending step; a forward has none.
            const std::vector<std::string> headers = outboundHeaders(ctx, r);
            for (std::string* f : {&r.to, &r.from, &r.subject, &r.body}) {
                *f = withoutLineEnd(*f);
            }
            DryRunResult::Kind kind = DryRunResult::Kind::Reply;
            if (!r.body.empty() && r.body[0] == '~') {
                kind = DryRunResult::Kind::Forward;
            } else if (!headers.empty() && headers.front() != kAutoReplied) {
                kind = DryRunResult::Kind::ListCopy;
            }
            result.queued.push_back({kind, std::move(r)});
        }
    }
    return result;
}

}  // namespace vorel
