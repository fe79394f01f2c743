#include "base/Idn.h"

#include <idn2.h>

#include <algorithm>
#include <cstdlib>

namespace vorel {

namespace {

constexpr int kFlags = IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL;

// Letters, digits, hyphens and dots (STD3's rules for a host name).
bool isHostName(const std::string& ascii) {
    return std::all_of(ascii.begin(), ascii.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

// A domain whose mapping holds anything but a host name's characters is not a
// domain: FULLWIDTH COMMA and COMMERCIAL AT map to "," and "@", and one
// address would become many. The rule is checked on the mapped form here:
// IDN2_USE_STD3_ASCII_RULES silently drops such characters instead (libidn2
// 2.3), which would make one address out of two people's.
std::optional<std::string> toAscii(const std::string& domain) {
    char* out = nullptr;
    if (idn2_to_ascii_8z(domain.c_str(), &out, kFlags) != IDN2_OK) {
        return std::nullopt;
    }
    std::string result = out;
    idn2_free(out);
    if (!isHostName(result)) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::string> toReadable(const std::string& domain) {
    std::optional<std::string> ascii = toAscii(domain);
    char* out = nullptr;
    if (!ascii || idn2_to_unicode_8z8z(ascii->c_str(), &out, 0) != IDN2_OK) {
        return std::nullopt;
    }
    std::string result = out;
    idn2_free(out);
    return result;
}

bool isInternational(const std::string& domain) {
    if (!isAscii(domain)) {
        return true;
    }
    for (std::size_t i = 0; i + 4 <= domain.size(); ++i) {
        if ((i == 0 || domain[i - 1] == '.') && (domain[i] == 'x' || domain[i] == 'X') &&
            (domain[i + 1] == 'n' || domain[i + 1] == 'N') && domain.compare(i + 2, 2, "--") == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string readableDomains(const std::string& text) {
    std::string out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t at = text.find('@', pos);
        if (at == std::string::npos) {
            out.append(text, pos, std::string::npos);
            return out;
        }
        std::size_t end = text.find_first_of(" ,;<>()\"\t\r\n@", at + 1);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.append(text, pos, at + 1 - pos);
        const std::string domain = text.substr(at + 1, end - at - 1);
        std::optional<std::string> readable;
        if (isInternational(domain)) {
            readable = toReadable(domain);
        }
        out += readable ? *readable : domain;
        pos = end;
    }
}

std::optional<std::string> asciiAddress(const std::string& address) {
    const std::size_t at = address.rfind('@');
    if (at == std::string::npos) {
        return isAscii(address) ? std::optional<std::string>(address) : std::nullopt;
    }
    const std::string local = address.substr(0, at);
    const std::string domain = address.substr(at + 1);
    if (!isAscii(local)) {
        return std::nullopt;
    }
    if (isAscii(domain)) {
        return address;
    }
    std::optional<std::string> ascii = toAscii(domain);
    if (!ascii) {
        return std::nullopt;
    }
    return local + "@" + *ascii;
}

}  // namespace vorel
