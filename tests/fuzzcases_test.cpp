// Inputs the fuzz targets in fuzz/ found, replayed in the ordinary build: each
// once crashed or broke a rule the target checks.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "mail/Address.h"

namespace vorel {

TEST(FuzzCases, AddressHelpersTakeAnySeparator) {
    // An empty separator is found at the start even of an empty text:
    // textAfter threw std::out_of_range.
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"", "", "", ""}, {"abc", "", "", "bc"}, {"a", "", "", ""}, {"", "@", "", ""}};
    for (const auto& [text, separator, before, after] : cases) {
        EXPECT_EQ(textBefore(text, separator) + "|" + textAfter(text, separator),
                  before + "|" + after)
            << '"' << text << '"';
    }
}

}  // namespace vorel
