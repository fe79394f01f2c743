// The POP3 and SMTP server settings: whatever the user typed either names a
// server or is refused, and the URL made of it names the same server.
#include <cstdio>
#include <stdexcept>

#include "FuzzSupport.h"
#include "net/ServerAddress.h"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::bytes(data, size);
    for (auto service : {ServerAddress::Service::Pop3, ServerAddress::Service::Smtp}) {
        ServerAddress a;
        try {
            a = parseServerAddress(text, service);
        } catch (const std::invalid_argument&) {
            continue;
        }
        VOREL_FUZZ_CHECK(!a.host.empty());
        VOREL_FUZZ_CHECK(a.port > 0 && a.port < 65536);
        a.loopback();
        isLoopbackHost(a.host);
        const std::string url = a.url();
        VOREL_FUZZ_CHECK(url.find_first_of("\r\n") == std::string::npos);
        // The URL as a setting: the same server, the same protection (a bare
        // host's opportunistic TLS has no URL form of its own).
        ServerAddress b;
        try {
            b = parseServerAddress(url, service);
        } catch (const std::invalid_argument&) {
            VOREL_FUZZ_CHECK(false && "the URL of a parsed setting is refused");
        }
        VOREL_FUZZ_CHECK(b.host == a.host && b.port == a.port);
    }
    return 0;
}
