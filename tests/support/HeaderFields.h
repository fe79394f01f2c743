#pragma once

#include <regex>
#include <string>
#include <vector>

namespace vorel::test {

// The named header fields of a message joined by "|" (folded lines joined,
// "<none>" for each absent one), so one comparison checks several.
inline std::string headerFields(const std::string& data, const std::vector<std::string>& names) {
    const std::string head =
        std::regex_replace(data.substr(0, data.find("\r\n\r\n")), std::regex("\r\n([ \t])"), "$1");
    std::string out;
    for (const auto& name : names) {
        std::smatch m;
        const std::regex re("(^|\r\n)" + name + ": ([^\r\n]*)", std::regex::icase);
        out += "|" + (std::regex_search(head, m, re) ? m[2].str() : "<none>");
    }
    return out.substr(1);
}

}  // namespace vorel::test
