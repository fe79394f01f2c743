// Inputs the fuzz targets in fuzz/ found, replayed in the ordinary build: each
// once crashed or broke a rule the target checks.
#include <gtest/gtest.h>

#include <string>

#include "mail/Address.h"
#include "net/Mime.h"

namespace vorel {
namespace {

TEST(FuzzCases, AddressHelpersTakeAnySeparator) {
    struct Case {
        std::string text, separator, before, after;
    };
    const Case cases[] = {
        // An empty separator is found at the start even of an empty text:
        // textAfter threw std::out_of_range.
        {"", "", "", ""},
        {"abc", "", "", "bc"},
        {"a", "", "", ""},
        {"", "@", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(textBefore(c.text, c.separator), c.before) << '"' << c.text << '"';
        EXPECT_EQ(textAfter(c.text, c.separator), c.after) << '"' << c.text << '"';
    }
}

}  // namespace
}  // namespace vorel
