#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/AntiSpam.h"
#include "store/Database.h"

namespace vorel {

class Clock;
class MailComponent;
struct RunState;

// The rules a run applies to a message's From, To and Subject. The run and
// its preview (vorel try, the editor's Try) both call these, so the preview
// cannot disagree with the run it shows.

// Which of the message's To and Subject a rule matched. Whole texts are
// compared without regard to letter case.
struct RuleMatch {
    bool to = false;       // To equals the rule's, bare or in angle brackets
    bool subject = false;  // Subject equals the rule's
    explicit operator bool() const { return to || subject; }
};
RuleMatch autoresponderMatches(const Autoresponder& row, const std::string& to,
                               const std::string& subject);

// The mailing list rules, each on To OR Subject: a message asks to join the
// list, asks to leave it (its To also matches an unsubscribe address stored
// with a comma after it), or is a post to it (bare To only).
RuleMatch asksToJoin(const MailingList& list, const std::string& to, const std::string& subject);
RuleMatch asksToLeave(const MailingList& list, const std::string& to, const std::string& subject);
RuleMatch postsTo(const MailingList& list, const std::string& to, const std::string& subject);

// When the current message arrived, as the active periods judge it: the
// component's arrival time (top-most Received, else Date), else the clock's
// time; never later than the clock, since no message comes from the future.
std::int64_t arrivalTime(const MailComponent& mail, const Clock& clock);

// A moment of an active period, local time "YYYY-MM-DD HH:MM:SS" (blanks
// around it aside), in seconds since the epoch; none when the text is not one.
std::optional<std::int64_t> periodTime(const std::string& text);
// Seconds since the epoch as local time "YYYY-MM-DD HH:MM:SS".
std::string periodText(std::int64_t t);

// Where a moment stands in a row's active period (empty sides are open; the
// until moment is the first outside). A side that is not a date answers
// nothing: an autoresponder the user meant to stop must not run forever.
enum class Activity { Active, NotYet, Over, Unreadable };
Activity activityAt(const Autoresponder& row, std::int64_t t);
// "not active until ...", "no longer active since ..."; empty when active.
std::string activityWords(const Autoresponder& row, Activity activity);

// The autoresponder pass's rule: To or Subject matches, and the message
// arrived within the row's period.
bool autoresponderApplies(const Autoresponder& row, const std::string& to,
                          const std::string& subject, std::int64_t arrival);

// One reply per sender every replydays days (24 hours each, from the last
// reply): when the row last answered `sender`, if that holds a reply back at
// `now`; none when a reply is due (always, for a row without the limit).
std::optional<std::int64_t> answeredWithinPeriod(Database& db, const Autoresponder& row,
                                                 const std::string& sender, std::int64_t now);
// "already answered on <date>; next reply after <date>".
std::string answeredWords(const Autoresponder& row, std::int64_t answered);

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
