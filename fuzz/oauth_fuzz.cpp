// What a provider or a browser sends back to a sign-in: token endpoint
// answers (JSON) and the loopback listener's request line. Either is read or
// refused; nothing read carries a line break into a request line.
#include <cstdio>

#include "FuzzSupport.h"
#include "net/OAuth2.h"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::bytes(data, size);
    const TokenAnswer a = oauth2::parseTokenAnswer(200, text);
    VOREL_FUZZ_CHECK(a.ok() == (a.error.empty() && !a.accessToken.empty()));
    if (const auto r = oauth2::parseRedirectRequest(text)) {
        VOREL_FUZZ_CHECK(!r->code.empty() || !r->error.empty());
    }
    // Encoding is reversible and leaves only URL-safe bytes.
    const std::string encoded = oauth2::formEncode(text);
    VOREL_FUZZ_CHECK(encoded.find_first_of("\r\n &=?#") == std::string::npos);
    VOREL_FUZZ_CHECK(oauth2::formDecode(encoded) == text);
    return 0;
}
