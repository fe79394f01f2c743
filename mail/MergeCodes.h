#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Clock.h"

namespace vorel {

struct RunContext;

using MergeFields = std::vector<std::pair<std::string, std::string>>;

// The message text of a work text handed over in pieces (whose bounds mean
// nothing): every line followed by "~", line ends dropped; reading stops once
// 32000 or more characters are collected.
using WorkTextSource = std::function<void(const std::function<void(std::string_view)>&)>;
std::string readMessageTextPieces(const WorkTextSource& source);
// The current message's text, of its work text (MailComponent::workTextPieces).
std::string readMessageText(RunContext& ctx);

// The line a sender writes before the name=value lines of a message.
inline constexpr char kMergeMarker[] = "%vorelcode%";
// name=value lines after the first kMergeMarker; none without it.
MergeFields parseMergeFields(const std::string& messageText);

// "dd mmmm yyyy", e.g. "05 December 2026".
std::string formatMergeDate(const LocalTime& t);
// "HH:MM:SS".
std::string formatClockTime(const LocalTime& t);

// The merge with everything given: %date%, %time%, %email%, then every field.
std::string mergeTemplate(const std::string& tmpl, const LocalTime& now, const std::string& email,
                          const MergeFields& fields);
// The merge of a post to a list, per member: %date%, %time%, then the fields
// of the member's stored merge data (%email% only as such a field).
std::string mergeListPost(const std::string& tmpl, const LocalTime& now, const MergeFields& fields);
// The merge for the current message: email = the component's From, fields
// from readMessageText.
std::string applyMergeCodes(RunContext& ctx, const std::string& tmpl);

}  // namespace vorel
