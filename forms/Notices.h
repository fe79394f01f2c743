#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Notifier.h"
#include "forms/FolderStatus.h"

namespace vorel {

// notify.ini: "notify=0" turns the notices off (the default is on).
inline constexpr char kNoticeSettingFile[] = "notify.ini";
// The causes already told, one id a line: each is told again only after
// it cleared.
inline constexpr char kNoticeStateFile[] = "notify.state";

bool noticesWanted(const std::string& folder);
// Throws std::runtime_error.
void setNoticesWanted(const std::string& folder, bool wanted);

// The causes a notice is given for (a failed run, a sign-in that stopped the
// run, held members, held posts, a queue at its daily limit).
bool causeIsNoticed(const std::string& id);
// The notice's title for a cause.
std::string noticeSummary(const std::string& id);

// After a run: tells `notifier` of each noticed cause of `attention` that
// was not told before, and forgets the told causes that cleared. Nothing
// when the setting is off. Returns how many notices were given.
int giveNotices(const std::string& folder, const std::vector<Attention>& attention,
                Notifier& notifier);

// After doRunMail: the run's record kept (when it did something) and the
// notices given through `notifier` (none without one). Returns the notices
// given.
int afterRun(const std::string& folder, const std::optional<LastRun>& run, Notifier* notifier);

}  // namespace vorel
