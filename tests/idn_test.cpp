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

}  // namespace vorel
