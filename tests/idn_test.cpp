// Addresses with readable and ASCII domains (mailcomponent_test sends them,
// hostile_test makes either form one member).
#include <gtest/gtest.h>

#include "base/Idn.h"

namespace vorel {

TEST(Idn, ReadableAndAsciiForms) {
    EXPECT_EQ(readableDomains("a@XN--MLLER-KVA.example, b@plain.example"),
              "a@m\u00FCller.example, b@plain.example");
    EXPECT_EQ(readableDomains("user@M\u00DCLLER.example"), "user@m\u00FCller.example");
    EXPECT_EQ(readableDomains("(No From)"), "(No From)");
    EXPECT_EQ(asciiAddress("anna@m\u00FCller.example"), "anna@xn--mller-kva.example");
    EXPECT_EQ(asciiAddress("j\u00FCrgen@example.de"), std::nullopt);
}

// A domain that maps to separators (FULLWIDTH COMMA, COMMERCIAL AT, SEMICOLON,
// a space) is no domain: neither form makes one address into several.
TEST(Idn, LookAlikeSeparatorsAreNoDomain) {
    for (const char* sep : {"\uFF0C", "\uFF20", "\uFF1B", "\u3000", "\uFF1C"}) {
        const std::string from = "v0@victim.example" + std::string(sep) + "v1@victim.example";
        SCOPED_TRACE(from);
        EXPECT_EQ(readableDomains(from), from);
        EXPECT_EQ(asciiAddress("v0@victim.example" + std::string(sep) + "x.example"), std::nullopt);
    }
    // FULLWIDTH FULL STOP is a dot.
    EXPECT_EQ(asciiAddress("a@b\u00FCcher\uFF0Eexample"), "a@xn--bcher-kva.example");
}

}  // namespace vorel
