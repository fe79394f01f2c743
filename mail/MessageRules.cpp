#include "mail/MessageRules.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "base/Clock.h"
#include "base/Idn.h"
#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/RunState.h"
#include "mail/Subscriptions.h"

namespace vorel {

namespace {

bool sameAddress(const std::string& to, const std::string& rule) {
    return sameText(to, rule) || sameText(to, "<" + rule + ">");
}

}  // namespace

RuleMatch autoresponderMatches(const Autoresponder& row, const std::string& to,
                               const std::string& subject) {
    return {sameAddress(to, row.To), sameText(subject, row.Subject)};
}

RuleMatch asksToJoin(const MailingList& list, const std::string& to, const std::string& subject) {
    return {sameAddress(to, list.onsubscribeto), sameText(subject, list.onsubscribesubject)};
}

RuleMatch asksToLeave(const MailingList& list, const std::string& to, const std::string& subject) {
    return {sameAddress(to, list.onunsubscribeto) || sameText(to + ",", list.onunsubscribeto),
            sameText(subject, list.onunsubscribesubject)};
}

RuleMatch postsTo(const MailingList& list, const std::string& to, const std::string& subject) {
    return {sameText(to, list.sendtolistfrom), sameText(subject, list.sendtolistsubject)};
}

std::int64_t arrivalTime(const MailComponent& mail, const Clock& clock) {
    const std::int64_t now = epochSeconds(clock.now());
    return std::min(mail.arrivalTime().value_or(now), now);
}

std::optional<std::int64_t> periodTime(const std::string& text) {
    const std::string t = trimSpace(text);
    // Exactly the stored form: GLib would also take ISO 8601's other forms.
    static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (t.size() != sizeof kShape - 1) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < t.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(t[i])) != 0;
        if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) {
            return std::nullopt;
        }
    }
    GTimeZone* local = g_time_zone_new_local();
    GDateTime* when = g_date_time_new_from_iso8601(t.c_str(), local);  // NULL for 2026-02-30
    g_time_zone_unref(local);
    if (!when) {
        return std::nullopt;
    }
    const std::int64_t seconds = g_date_time_to_unix(when);
    g_date_time_unref(when);
    return seconds;
}

std::string periodText(std::int64_t t) {
    GDateTime* when = g_date_time_new_from_unix_local(t);
    if (!when) {
        return std::to_string(t);
    }
    gchar* text = g_date_time_format(when, "%Y-%m-%d %H:%M:%S");
    g_date_time_unref(when);
    std::string out = text ? text : std::to_string(t);
    g_free(text);
    return out;
}

Activity activityAt(const Autoresponder& row, std::int64_t t) {
    const bool hasFrom = !trimSpace(row.activefrom).empty();
    const bool hasUntil = !trimSpace(row.activeuntil).empty();
    const std::optional<std::int64_t> from = hasFrom ? periodTime(row.activefrom) : std::nullopt;
    const std::optional<std::int64_t> until = hasUntil ? periodTime(row.activeuntil) : std::nullopt;
    if ((hasFrom && !from) || (hasUntil && !until)) {
        return Activity::Unreadable;
    }
    if (from && t < *from) {
        return Activity::NotYet;
    }
    if (until && t >= *until) {
        return Activity::Over;
    }
    return Activity::Active;
}

std::string activityWords(const Autoresponder& row, Activity activity) {
    switch (activity) {
        case Activity::NotYet:
            return "not active until " + trimSpace(row.activefrom);
        case Activity::Over:
            return "no longer active since " + trimSpace(row.activeuntil);
        case Activity::Unreadable: {
            const bool fromBad = !trimSpace(row.activefrom).empty() && !periodTime(row.activefrom);
            return "not active: \"" + (fromBad ? row.activefrom : row.activeuntil) +
                   "\" is not a date and time of the form YYYY-MM-DD HH:MM:SS";
        }
        case Activity::Active:
            break;
    }
    return "";
}

bool autoresponderApplies(const Autoresponder& row, const std::string& to,
                          const std::string& subject, std::int64_t arrival) {
    return autoresponderMatches(row, to, subject) && activityAt(row, arrival) == Activity::Active;
}

namespace {

// Days as seconds; a value beyond a century (another program's) is a century.
std::int64_t replySeconds(const Autoresponder& row) {
    return std::min<std::int64_t>(row.replydays, 36500) * 86400;
}

}  // namespace

std::optional<std::int64_t> answeredWithinPeriod(Database& db, const Autoresponder& row,
                                                 const std::string& sender, std::int64_t now) {
    if (row.replydays <= 0) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> last = db.answeredAt(row.id, sender);
    if (last && now - *last < replySeconds(row)) {
        return last;
    }
    return std::nullopt;
}

std::string answeredWords(const Autoresponder& row, std::int64_t answered) {
    return "already answered on " + periodText(answered) + "; next reply after " +
           periodText(answered + replySeconds(row));
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
