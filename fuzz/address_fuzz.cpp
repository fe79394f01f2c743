// The byte-level address helpers that every From, To and import line passes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>

#include "FuzzSupport.h"
#include "mail/Address.h"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string separator = in.ConsumeRandomLengthString(4);
    const std::string text = in.ConsumeRemainingBytesAsString();

    isValidEmail(text);
    const std::string before = textBefore(text, separator);
    VOREL_FUZZ_CHECK(before.size() <= text.size());
    const std::string after = textAfter(text, separator);
    VOREL_FUZZ_CHECK(after.size() <= text.size());
    const std::string addresses = extractAddresses(text);
    const std::string first = firstAddress(addresses);
    VOREL_FUZZ_CHECK(first.size() <= addresses.size());
    isValidEmail(first);
    tidyAddress(text);
    tidyAddress(first);
    // One row or reply per address: no piece holds a separator.
    for (const std::string& one : lineAddresses(text)) {
        VOREL_FUZZ_CHECK(one.find(',') == std::string::npos);
        VOREL_FUZZ_CHECK(!isOneAddress(one) || one.find_first_of(";<> ") == std::string::npos);
    }
    return 0;
}
