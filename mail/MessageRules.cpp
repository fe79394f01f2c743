#include "mail/MessageRules.h"

#include <stdexcept>

#include "base/Idn.h"
#include "base/TextCompare.h"
#include "core/RunState.h"

namespace vorel {

AutoresponderMatch autoresponderMatches(const Autoresponder& row, const std::string& to,
                                        const std::string& subject) {
    return {sameText(to, row.To) || sameText(to, "<" + row.To + ">"),
            sameText(subject, row.Subject)};
}

bool spamEntryMatches(const AntiSpamEntry& entry, const std::string& from, const std::string& to,
                      const std::string& subject) {
    return sameText(from, entry.from) || sameText(subject, entry.subject) || sameText(to, entry.to);
}

std::vector<AntiSpamEntry> readAntiSpamEntries(const std::string& folder,
                                               const std::function<void()>& afterEach) {
    std::vector<AntiSpamEntry> entries;
    for (const std::string& line : readAntiSpamLines(folder)) {
        AntiSpamEntry entry = splitAntiSpamLine(line);
        entry.from = readableDomains(entry.from);
        entry.to = readableDomains(entry.to);
        entries.push_back(std::move(entry));
        if (afterEach) {
            afterEach();
        }
    }
    return entries;
}

void makeComparable(std::vector<Autoresponder>& rows) {
    for (Autoresponder& a : rows) {
        a.To = readableDomains(a.To);
    }
}

void makeComparable(std::vector<MailingList>& rows) {
    for (MailingList& l : rows) {
        for (std::string* a : {&l.onsubscribeto, &l.onunsubscribeto, &l.sendtolistfrom}) {
            *a = readableDomains(*a);
        }
    }
}

void loadTryRows(RunState& state) {
    if (!state.db) {
        throw std::logic_error("the database is not open");
    }
    state.autoresponderRows = state.db->autoresponders();
    state.listRows = state.db->lists();
    makeComparable(*state.autoresponderRows);
    makeComparable(*state.listRows);
}

}  // namespace vorel
