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
std::string ReadMessageTextFile(const std::string& path);
// Saves the current message to temp.msg in the application folder through the
// mail component and reads it back as message text.
std::string ReadMessageText(RunContext& ctx);

// name=value lines after the first "%vorelcode%".
MergeFields ParseMergeFields(const std::string& messageText);

// "dd mmmm yyyy", e.g. "05 December 2026".
std::string FormatMergeDate(const LocalTime& t);
// "HH:MM:SS".
std::string FormatClockTime(const LocalTime& t);

// The merge with everything given: %date%, %time%, %email%, then every field.
std::string MergeTemplate(const std::string& tmpl, const LocalTime& now, const std::string& email,
                          const MergeFields& fields);
// The merge for the current message: email = the component's From, fields
// from ReadMessageText.
std::string ApplyMergeCodes(RunContext& ctx, const std::string& tmpl);

}  // namespace vorel
