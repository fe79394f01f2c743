#include "forms/AutoresponderEditor.h"

#include <utility>

#include "base/Clock.h"
#include "base/TextCompare.h"
#include "forms/MergeCodeHelp.h"
#include "mail/MessageRules.h"
#include "net/FileMailComponent.h"
#include "run/DryRun.h"
#include "store/Transaction.h"

namespace vorel {

AutoresponderEditor::AutoresponderEditor(std::string dbPath) : path_(std::move(dbPath)) {}

Database& AutoresponderEditor::db() {
    if (!db_) {
        db_.emplace(Database::open(path_));
    }
    return *db_;
}

std::vector<std::string> AutoresponderEditor::names() {
    std::vector<std::string> out;
    for (Autoresponder& a : db().autoresponders()) {
        out.push_back(std::move(a.Name));
    }
    return out;
}

std::vector<AutoresponderEditor::Entry> AutoresponderEditor::entries(std::int64_t now) {
    std::vector<Entry> out;
    for (Autoresponder& a : db().autoresponders()) {
        const Activity activity = activityAt(a, now);
        out.push_back(
            {std::move(a.Name), activity == Activity::Active, activityWords(a, activity)});
    }
    return out;
}

std::optional<Autoresponder> AutoresponderEditor::find(const std::string& name) {
    return db().findAutoresponder(name);
}

Outcome AutoresponderEditor::save(const Autoresponder& typed) {
    if (typed.Name.empty()) {
        return Outcome::failed(kNameMissing);
    }
    const std::string from = trimSpace(typed.activefrom);
    const std::string until = trimSpace(typed.activeuntil);
    const std::optional<std::int64_t> start = periodTime(from);
    const std::optional<std::int64_t> end = periodTime(until);
    if ((!from.empty() && !start) || (!until.empty() && !end)) {
        return Outcome::failed(kPeriodUnreadable);
    }
    if (start && end && *end <= *start) {
        return Outcome::failed(kPeriodEmpty);
    }
    if (typed.replydays < 0) {
        return Outcome::failed(kReplyDaysNegative);
    }
    Database& d = db();
    // Look-up and write in one transaction: a run counting a reply in between
    // would otherwise lose its count to the row written back.
    Transaction t(d);
    std::optional<Autoresponder> existing = d.findAutoresponder(typed.Name);
    Autoresponder row = typed;
    row.To = storedTo(typed.To);
    row.message = storedMessage(typed.message);
    row.activefrom = from;
    row.activeuntil = until;
    if (existing) {
        row.id = existing->id;
        row.Counter = existing->Counter;
        d.updateAutoresponder(row);
    } else {
        row.id = 0;
        row.Counter = 0;
        d.addAutoresponder(row);
    }
    t.commit();
    return Outcome::done(kSaved);
}

std::size_t AutoresponderEditor::remove(const std::string& name) {
    Database& d = db();
    Transaction t(d);
    std::size_t removed = 0;
    for (const Autoresponder& a : d.autoresponders()) {
        if (a.Name == name) {
            d.deleteAutoresponder(a.id);
            ++removed;
        }
    }
    t.commit();
    return removed;
}

std::string AutoresponderEditor::storedTo(const std::string& to) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < to.size(); ++i) {
        // A UTF-8 continuation byte belongs to the character before it.
        const bool starts = (static_cast<unsigned char>(to[i]) & 0xC0) != 0x80;
        if (starts && ++characters > kToCharacters) {
            return to.substr(0, i);
        }
    }
    return to;
}

AutoresponderEditor::Trial AutoresponderEditor::tryMessage(const std::string& folder,
                                                           const std::string& raw,
                                                           const Autoresponder& typed) {
    Autoresponder row = typed;
    row.id = 0;
    row.Counter = 0;
    row.To = storedTo(typed.To);
    row.message = storedMessage(typed.message);
    FileMailComponent mail(raw);
    SystemClock clock;
    const DryRunResult r = dryRun(folder, mail, clock, row);

    Trial t;
    if (!r.databaseError.empty()) {
        t.report = "The message could not be tried: " + r.databaseError;
        return t;
    }
    if (r.spam) {
        t.report = "The anti-spam list would delete this message (From " + r.from + ", Subject " +
                   r.subject + "): nothing would be sent.";
        return t;
    }
    for (const DryRunResult::Queued& q : r.queued) {
        if (q.kind == DryRunResult::Kind::Reply) {
            t.replies = true;
            t.reply = q.record.body;
            return t;
        }
    }
    t.report = "This autoresponder would send no reply to this message.";
    if (!r.autoresponders.empty()) {
        const DryRunResult::Verdict& v = r.autoresponders.front();
        t.report += "\nIt " + v.why + ".";
    }
    for (const std::string& line : r.log) {
        t.report += "\n" + line;
    }
    for (const DryRunResult::Queued& q : r.queued) {
        if (q.kind == DryRunResult::Kind::Forward) {
            t.report += "\nThe message would be forwarded to " + q.record.to + ".";
        }
    }
    return t;
}

std::vector<std::string> AutoresponderEditor::helpLines() {
    return mergeCodeHelp("AUTORESPONDER HELP");
}

}  // namespace vorel
