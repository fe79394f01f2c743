#pragma once

#include <string>

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
// Closes an unclosed "<" and drops one trailing CR LF.
std::string tidyAddress(const std::string& address);

}  // namespace vorel
