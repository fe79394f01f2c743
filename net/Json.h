#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vorel::json {

// The members of a JSON object (RFC 8259), enough for OAuth2 endpoints:
// strings decoded (escapes, \u with surrogate pairs, as UTF-8), numbers,
// true, false and null as their text, nested objects and arrays as their raw
// text. std::nullopt when the text is not one well-formed object.
std::optional<std::map<std::string, std::string>> parseObject(std::string_view text);

}  // namespace vorel::json
