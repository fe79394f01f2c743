#include "core/SignIn.h"

#include <array>

#include "base/TextCompare.h"

namespace vorel {

std::optional<std::string> passwordRefusal(const std::string& detail) {
    static constexpr std::array<const char*, 6> kWords = {"Basic authentication is disabled",
                                                          "5.7.30",
                                                          "5.7.139",
                                                          "Application-specific password required",
                                                          "Please log in with your web browser",
                                                          "[AUTH] Web login required"};
    const std::string lower = lowerCase(detail);
    for (const char* word : kWords) {
        const std::size_t at = lower.find(lowerCase(word));
        if (at == std::string::npos) {
            continue;
        }
        // The server's line follows the last ": " before its words.
        const std::size_t colon = detail.rfind(": ", at);
        return detail.substr(colon == std::string::npos ? 0 : colon + 2);
    }
    return std::nullopt;
}

}  // namespace vorel
