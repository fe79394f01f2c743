#pragma once

#include <functional>
#include <string>
#include <vector>

#include "store/AntiSpam.h"
#include "store/Database.h"

namespace vorel {

struct RunState;

// The rules a run applies to a message's From, To and Subject. The run and
// its preview (vorel try, the editor's Try) both call these, so the preview
// cannot disagree with the run it shows.

struct AutoresponderMatch {
    bool to = false;       // To equals the row's, bare or in angle brackets
    bool subject = false;  // Subject equals the row's
    explicit operator bool() const { return to || subject; }
};
// Whole texts compared without regard to letter case.
AutoresponderMatch autoresponderMatches(const Autoresponder& row, const std::string& to,
                                        const std::string& subject);

// An entry deletes a message whose From, Subject or To equals its own,
// letter case aside.
bool spamEntryMatches(const AntiSpamEntry& entry, const std::string& from, const std::string& to,
                      const std::string& subject);

// antispam.lst's entries, their addresses in the readable form inbound
// addresses take; empty without the file. `afterEach` runs after each line.
std::vector<AntiSpamEntry> readAntiSpamEntries(const std::string& folder,
                                               const std::function<void()>& afterEach = {});

// The addresses the rules match, in the readable form inbound addresses take.
void makeComparable(std::vector<Autoresponder>& rows);
void makeComparable(std::vector<MailingList>& rows);

// The two record sets of a try, read from state.db once for all its messages.
void loadTryRows(RunState& state);

}  // namespace vorel
