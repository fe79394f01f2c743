#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorel {

// International domain names (IDNA 2008 with the UTS #46 mapping, libidn2).
// An address may arrive with its domain in ASCII form ("xn--mller-kva") or
// readable ("müller"); the run compares and stores the readable one, and
// sends the ASCII one to servers that take no UTF-8.

bool isAscii(std::string_view text);

// Every domain after an "@" in `text` that is international (A-labels or
// non-ASCII) in its readable, lower-case form; anything that does not
// convert is left as it is.
std::string readableDomains(const std::string& text);

// A list member's address as data.mdb stores it and every look-up asks for it:
// the domain in its readable form, as the run reads senders, so that
// "ann@xn--mller-kva.example" and "ann@m\u00fcller.example" are one member.
inline std::string memberAddress(const std::string& address) {
    return readableDomains(address);
}

// The address with its domain in ASCII form; std::nullopt when the local part
// is not ASCII (only SMTPUTF8 can carry it) or the domain does not convert.
std::optional<std::string> asciiAddress(const std::string& address);

}  // namespace vorel
