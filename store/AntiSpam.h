#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorel {

struct AntiSpamEntry {
    std::string from;
    std::string subject;
    std::string to;
};

// Split of one antispam.lst line: From pattern before the first tab, Subject
// before the second, To before the third; anything after a third tab is ignored.
AntiSpamEntry splitAntiSpamLine(const std::string& line);
// A new entry as the settings window adds it: from TAB subject TAB to, untrimmed.
std::string composeAntiSpamLine(const std::string& from, const std::string& subject,
                                const std::string& to);

// Path of the anti-spam list in `folder`, found without regard to letter case;
// std::nullopt when there is none.
std::optional<std::string> findAntiSpamFile(const std::string& folder);

// The lines of the anti-spam list, unsplit; empty when the file is missing.
// Accepts CR LF and LF line ends.
std::vector<std::string> readAntiSpamLines(const std::string& folder);

// Replaces the list (temporary file + rename), one line per item, CR LF.
// Writes over the existing file whatever the case of its name.
void writeAntiSpamLines(const std::string& folder, const std::vector<std::string>& lines);

}  // namespace vorel
