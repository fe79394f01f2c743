#pragma once

#include <string>
#include <vector>

namespace vorel {

// The help on HTML and merge codes that the editors show: `heading` as the
// first line ("AUTORESPONDER HELP", "MAILING LIST HELP"), then the same 38
// lines for every editor, the last of them empty.
std::vector<std::string> mergeCodeHelp(const std::string& heading);

// The post window's help on HTML and merge codes.
std::vector<std::string> postHelp();

}  // namespace vorel
