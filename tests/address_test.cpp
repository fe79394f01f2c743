#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "mail/Address.h"

namespace vorel {
namespace {

TEST(isValidEmail, OnlyTheAtAndDotRulesCount) {
    const std::pair<const char*, bool> cases[] = {
        {"user@example.com", true},
        {"user@localhost", true},  // no "." needed
        {"us@@er", true},          // two "@" side by side in the middle
        {"a b@c d", true},         // blanks are not checked
        {"a@b@c", true},           // a second "@" is not checked
        {"@example.com", false},   // first character
        {"user@", false},          // last character
        {".user@example.com", false},
        {"user@example.com.", false},
        {"userexample.com", false},
        {"", false},
        {"@", false},
        {".@", false},
        {"a.@b", true},  // "." only matters at the ends
    };
    for (const auto& [address, valid] : cases) {
        EXPECT_EQ(isValidEmail(address), valid) << '"' << address << '"';
    }
}

struct SplitCase {
    const char* text;
    const char* separator;
    const char* before;
    const char* after;
};

TEST(Splitters, BeforeAndAfterTheFirstSeparator) {
    const SplitCase cases[] = {
        {"name=value", "=", "name", "value"},
        {"a=b=c", "=", "a", "b=c"},
        {"no separator", "=", "no separator", ""},
        {"=lead", "=", "", "lead"},
        {"trail=", "=", "trail", ""},
        {"", "=", "", ""},
        {"line1~line2~", "~", "line1", "line2~"},
        // A two-character separator: only its first character is skipped.
        {"key::value", "::", "key", ":value"},
        {"a\tb\tc", "\t", "a", "b\tc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(textBefore(c.text, c.separator), c.before) << '"' << c.text << '"';
        EXPECT_EQ(textAfter(c.text, c.separator), c.after) << '"' << c.text << '"';
    }
}

using RewriteCase = std::pair<const char*, const char*>;

TEST(extractAddresses, ReducesHeadersToBareAddresses) {
    const RewriteCase cases[] = {
        {"Joe Bloggs <joe@example.com>", "joe@example.com"},
        {"Joe <joe@a.example>, Ann <ann@b.example>", "joe@a.example,ann@b.example"},
        {"   joe@example.com  ", "joe@example.com"},
        {"joe@example.com", "joe@example.com"},
        {"<joe@example.com>", "joe@example.com"},
        {"<>", ""},
        // A bare address before a bracketed one is lost; the comma stays out
        // because a leading comma is removed.
        {"bare@x.example, Ann <ann@b.example>", "ann@b.example"},
        // A comma inside the brackets is appended twice.
        {"<a,b@x>", "a,,b@x"},
        // Not trimmed once there are brackets.
        {"Joe < joe@x >", " joe@x "},
        // Unclosed bracket: everything after it.
        {"Joe <joe@x", "joe@x"},
        {"", ""},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(extractAddresses(input), output) << '"' << input << '"';
    }
}

TEST(tidyAddress, ClosesBracketsAndDropsOneLineEnd) {
    const RewriteCase cases[] = {
        {"Joe <joe@example.com", "Joe <joe@example.com>"},
        {"joe@example.com\r\n", "joe@example.com"},
        {"joe@example.com", "joe@example.com"},
        {"Joe <joe@example.com>", "Joe <joe@example.com>"},
        {"joe@example.com\r\n\r\n", "joe@example.com\r\n"},  // only one line end
        {"joe@example.com\n", "joe@example.com\n"},          // LF alone stays
        // The line end never ends up inside the closed bracket.
        {"Joe <joe@x\r\n", "Joe <joe@x>"},
        {"a <b> <c", "a <b> <c>"},
        {"", ""},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(tidyAddress(input), output) << '"' << input << '"';
    }
}

}  // namespace
}  // namespace vorel
