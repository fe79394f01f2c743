#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/Clock.h"

namespace vorel {

struct RunContext;

using MergeFields = std::vector<std::pair<std::string, std::string>>;

// The message text of a saved message file: every line followed by "~", line
// ends dropped; reading stops once 32000 or more characters are collected.
std::string readMessageTextFile(const std::string& path);
// Saves the current message to temp.msg in the application folder through the
// mail component and reads it back as message text.
std::string readMessageText(RunContext& ctx);

// name=value lines after the first "%vorelcode%".
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
