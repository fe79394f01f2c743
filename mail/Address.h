#pragma once

#include <string>
#include <vector>

namespace vorel {

// Byte-level text helpers shared by the run, message handling and the editors.

// True when the text has an "@" that is neither its first nor its last
// character and the text neither begins nor ends with ".". Nothing else.
bool isValidEmail(const std::string& address);
// Text before the first `separator`; the whole text when it does not occur.
std::string textBefore(const std::string& text, const std::string& separator);
// When `separator` first occurs at position p (from 1): the last len - p
// characters (for a one-character separator, what follows it); "" otherwise.
std::string textAfter(const std::string& text, const std::string& separator);
// The addresses between "<" and ">" joined by the header's commas; the trimmed
// header when it holds no "<".
std::string extractAddresses(const std::string& header);
// The first of a comma-separated list of bare addresses, trimmed.
std::string firstAddress(const std::string& addresses);
// The addresses of one line of addresses: "A <a@x>, B <b@y>" gives a@x and
// b@y, each trimmed, empty ones left out; a line of one gives extractAddresses.
std::vector<std::string> lineAddresses(const std::string& line);
// True when `address` is one address as it will be sent: UTF-8, at most one
// "@", no separator, bracket, quote, blank or control character, and the same holds
// for the ASCII form of its domain (IDNA maps look-alike characters).
bool isOneAddress(const std::string& address);
// Closes an unclosed "<" and drops one trailing CR LF.
std::string tidyAddress(const std::string& address);

}  // namespace vorel
