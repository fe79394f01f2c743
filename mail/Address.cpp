#include "mail/Address.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "base/Idn.h"
#include "base/TextCompare.h"

namespace vorel {

bool isValidEmail(const std::string& address) {
    std::size_t at = address.find('@');
    if (at == std::string::npos || at == 0 || at == address.size() - 1) {
        return false;
    }
    return address.front() != '.' && address.back() != '.';
}

std::string textBefore(const std::string& text, const std::string& separator) {
    std::size_t p = text.find(separator);
    return p == std::string::npos ? text : text.substr(0, p);
}

std::string textAfter(const std::string& text, const std::string& separator) {
    std::size_t p = text.find(separator);
    // An empty separator is found at the start even of an empty text.
    if (p == std::string::npos || p >= text.size()) {
        return "";
    }
    // The last (len - position) characters, position counted from 1: only the
    // first character of the separator is skipped.
    return text.substr(p + 1);
}

std::string firstAddress(const std::string& addresses) {
    return trimBlanks(addresses.substr(0, addresses.find(',')));
}

std::string extractAddresses(const std::string& header) {
    if (header.find('<') == std::string::npos) {
        return trimBlanks(header);
    }
    std::string result;
    bool inside = false;
    for (char c : header) {
        if (c != '>' && inside) {
            result += c;
        }
        if (c == '<') {
            inside = true;
        } else if (c == '>') {
            inside = false;
        } else if (c == ',') {
            result += c;
        }
    }
    if (!result.empty() && result.front() == ',') {
        result.erase(0, 1);
    }
    return result;
}

std::vector<std::string> lineAddresses(const std::string& line) {
    std::vector<std::string> out;
    const std::string bare = extractAddresses(line);
    if (bare.find(',') == std::string::npos) {
        return {bare};
    }
    std::size_t pos = 0;
    while (pos <= bare.size()) {
        std::size_t comma = bare.find(',', pos);
        if (comma == std::string::npos) {
            comma = bare.size();
        }
        std::string one = trimBlanks(bare.substr(pos, comma - pos));
        if (!one.empty()) {
            out.push_back(std::move(one));
        }
        pos = comma + 1;
    }
    return out;
}

namespace {

bool plainAddress(const std::string& address) {
    return std::count(address.begin(), address.end(), '@') <= 1 &&
           std::none_of(address.begin(), address.end(), [](char ch) {
               const auto c = static_cast<unsigned char>(ch);
               return c <= ' ' || c == 0x7F || std::strchr(",;<>()[]\"\\", c) != nullptr;
           });
}

}  // namespace

bool isOneAddress(const std::string& address) {
    // Bytes that are not UTF-8 can be neither sent (SMTPUTF8 is UTF-8) nor
    // compared with the readable form the run reads.
    if (!plainAddress(address) ||
        !g_utf8_validate(address.data(), static_cast<gssize>(address.size()), nullptr)) {
        return false;
    }
    const std::size_t at = address.find('@');
    const std::string domain = at == std::string::npos ? "" : address.substr(at + 1);
    if (isAscii(domain)) {
        return true;  // a local part that is not ASCII goes out as it is (SMTPUTF8)
    }
    const std::optional<std::string> ascii = asciiAddress("x@" + domain);
    return ascii && plainAddress(*ascii);
}

std::string tidyAddress(const std::string& address) {
    std::string result;
    bool inside = false;
    for (char c : address) {
        result += c;
        if (c == '<') {
            inside = true;
        } else if (c == '>') {
            inside = false;
        }
    }
    // The line end goes before the bracket is closed: queue fields always end
    // with CR LF, and closing first would leave the CR LF inside the address.
    if (result.size() >= 2 && result.compare(result.size() - 2, 2, "\r\n") == 0) {
        result.erase(result.size() - 2);
    }
    if (inside) {
        result += '>';
    }
    return result;
}

}  // namespace vorel
