#include "forms/Notices.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <set>
#include <string_view>
#include <utility>

#include "store/AppFolder.h"
#include "store/TextFile.h"

namespace vorel {

namespace {

constexpr std::array<std::pair<std::string_view, const char*>, 5> kNoticed = {{
    {kCauseRunFailed, "Vorel: the mail run failed"},
    {kCauseSignIn, "Vorel cannot sign in"},
    {kCauseHeldMembers, "Vorel: a list member is held"},
    {kCauseHeldPosts, "Vorel: posts wait for your approval"},
    {kCauseQueueLimit, "Vorel: the queue stopped at the daily limit"},
}};

}  // namespace

bool noticesWanted(const std::string& folder) {
    const auto lines = readTextLines(joinPath(folder, kNoticeSettingFile));
    if (!lines) {
        return true;
    }
    return std::none_of(lines->begin(), lines->end(),
                        [](const std::string& l) { return l == "notify=0"; });
}

void setNoticesWanted(const std::string& folder, bool wanted) {
    replaceFile(joinPath(folder, kNoticeSettingFile), wanted ? "notify=1\n" : "notify=0\n", 0600);
}

bool causeIsNoticed(const std::string& id) {
    return std::any_of(kNoticed.begin(), kNoticed.end(),
                       [&](const auto& n) { return n.first == id; });
}

std::string noticeSummary(const std::string& id) {
    for (const auto& [cause, summary] : kNoticed) {
        if (cause == id) {
            return summary;
        }
    }
    return "Vorel";
}

int giveNotices(const std::string& folder, const std::vector<Attention>& attention,
                Notifier& notifier) {
    if (!noticesWanted(folder)) {
        return 0;
    }
    const std::string path = joinPath(folder, kNoticeStateFile);
    std::set<std::string> told;
    if (const auto lines = readTextLines(path)) {
        told.insert(lines->begin(), lines->end());
    }
    std::set<std::string> now;
    int given = 0;
    for (const Attention& a : attention) {
        if (!causeIsNoticed(a.id)) {
            continue;
        }
        // A cause nobody could be told of stays untold: a later run in a
        // desktop session tells it.
        if (told.count(a.id) || notifier.notify(a.id, noticeSummary(a.id), a.sentence)) {
            given += told.count(a.id) ? 0 : 1;
            now.insert(a.id);
        }
    }
    if (now != told) {
        std::string text;
        for (const std::string& id : now) {
            text += id + "\n";
        }
        try {
            replaceFile(path, text, 0600);
        } catch (const std::exception&) {
            // Only a repeated notice is at stake.
        }
    }
    return given;
}

int afterRun(const std::string& folder, const std::optional<LastRun>& run, Notifier* notifier) {
    if (run) {
        writeLastRun(folder, *run);
    }
    if (notifier == nullptr) {
        return 0;
    }
    // The keyring is not asked: a missing secret is no notice of its own
    // (the run that stops for it is).
    const FolderStatus status =
        readFolderStatus(folder, static_cast<std::int64_t>(std::time(nullptr)), nullptr, {});
    return giveNotices(folder, status.attention, *notifier);
}

}  // namespace vorel
