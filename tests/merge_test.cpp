// Mail text helpers: merge codes, message text files, address helpers.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "mail/Address.h"
#include "mail/MergeCodes.h"
#include "store/Database.h"

namespace vorel {
namespace {

TEST(MergeCodes, ReplacedInOrderWithExactCase) {
    struct Case {
        std::string tmpl;
        MergeFields fields;
        std::string expected;
    };
    const Case cases[] = {
        {"%date% %time% %email%,%email%", {}, "05 December 2026 09:04:07 j@x,j@x"},
        {"%DATE% %Time% %EMAIL% 100%% %name%", {}, "%DATE% %Time% %EMAIL% 100%% %name%"},
        {"%phone%/%Phone%", {{"Phone", "123"}}, "123/%Phone%"},  // the field name is lowered
        {"%name%", {{"name", "A"}, {"NAME", "B"}}, "A"},
        {"%date%", {{"date", "x"}}, "05 December 2026"},
        {"a%fax%b", {{"fax", ""}}, "ab"},
        {"%x%%x%", {{"x", "%x%"}}, "%x%%x%"},  // a replacement is not searched again
        {"%a%", {{"a", "%b%"}, {"b", "X"}}, "X"},
        {"%my name%", {{"My Name", "Jo"}}, "Jo"},
        {"50%%", {{"", "x"}}, "50x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mergeTemplate(c.tmpl, {2026, 12, 5, 9, 4, 7}, "j@x", c.fields), c.expected)
            << c.tmpl;
    }
}

TEST(MergeCodes, FieldsFollowTheLineRules) {
    const std::pair<std::string, MergeFields> cases[] = {
        {"Subject: x~~name=Joe~", {}},
        {"%VORELCODE%~name=Joe~", {}},
        {"a=1~%vorelcode%~name=Joe~phone=1=2~fax=~",
         {{"name", "Joe"}, {"phone", "1=2"}, {"fax", ""}}},
        {"%vorelcode%~hello~name=Jo~", {{"hello~name", "Jo"}}},  // a plain line joins the next
        {"%vorelcode% a=1~b=2", {{" a", "1"}, {"b", "2"}}},
        {"%vorelcode%~a=1~~Regards~x=y~", {{"a", "1"}, {"~Regards~x", "y"}}},
        {"%vorelcode%~a=1~%vorelcode%~b=2~", {{"a", "1"}, {"~b", "2"}}},
        {"%vorelcode%~My Phone =  5 ~", {{"My Phone ", "  5 "}}},
        {"text~%vorelcode%", {}},
        {"%vorelcode%~a=1~trailing~", {{"a", "1"}}},
    };
    for (const auto& [text, fields] : cases) {
        EXPECT_EQ(parseMergeFields(text), fields) << text;
    }
}

// The message's text, fed in pieces of `size` bytes, as a merge reads it.
std::string textOf(const std::string& content, std::size_t size) {
    return readMessageTextPieces([&](const auto& piece) {
        for (std::size_t at = 0; at < content.size(); at += size) {
            piece(std::string_view(content).substr(at, size));
        }
    });
}

TEST(MergeCodes, MessageTextJoinsLinesWithTildeUpToTheLimit) {
    const std::pair<std::string, std::string> texts[] = {
        {"a\r\nb\r\n\r\nc\r\n", "a~b~~c~"},
        {"a\nb\n\nc", "a~b~~c~"},
        {"", ""},
        {"x\r\r\n\r\ny", "x\r~~y~"},  // only one CR belongs to the line end
        // A line longer than one piece is still one line, cut so that the
        // text stays within a member's Data.
        {std::string(70000, 'z') + "\r\nb\r\n", std::string(kMemberDataLimit - 1, 'z') + "~"},
        {std::string(31990, 'a') + "\n" + std::string(9000000, 'z'),
         std::string(31990, 'a') + "~" + std::string(kMemberDataLimit - 31992, 'z') + "~"},
        // Not inside a UTF-8 sequence: 32,999 bytes would end in the fifth "\u00FC".
        {std::string(32990, 'a') + "\u00FC\u00FC\u00FC\u00FC\u00FC",
         std::string(32990, 'a') + "\u00FC\u00FC\u00FC\u00FC~"},
    };
    for (const auto& [content, text] : texts) {
        for (std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{65536}}) {
            const std::string got = textOf(content, size);
            EXPECT_TRUE(got == text)
                << content.substr(0, 20) << " by " << size << ": " << got.size() << " bytes";
        }
    }
    // The limit is tested before each line: 212 lines of 151 pass 32000, and
    // reaching exactly 32000 stops too.
    std::string big, exact;
    for (int i = 0; i < 400; ++i) {
        big += std::string(150, 'x') + "\r\n";
        exact += std::string(99, 'y') + "\n";
    }
    EXPECT_EQ(textOf(big, 4096).size(), 212u * 151u);
    EXPECT_EQ(textOf(exact, 4096).size(), 32000u);
}

// An address needs an "@" neither first nor last and no "." at either end, nothing else.
TEST(AddressHelpers, ValidityAndSplittingAndHeaders) {
    for (const char* a : {"u@example.com", "u@localhost", "us@@er", "a b@c d", "a@b@c", "a.@b"}) {
        EXPECT_TRUE(isValidEmail(a)) << a;
    }
    for (const char* a : {"@example.com", "user@", ".user@example.com", "user@example.com.",
                          "userexample.com", "", "@", ".@"}) {
        EXPECT_FALSE(isValidEmail(a)) << a;
    }
    // Only the first character of the separator is skipped.
    EXPECT_EQ(textBefore("key::value", "::") + "|" + textAfter("key::value", "::"), "key|:value");
    EXPECT_EQ(textBefore("none", "=") + "|" + textAfter("none", "="), "none|");
    struct Rewrite {
        std::string (*helper)(const std::string&);
        const char *in, *out;
    };
    const Rewrite cases[] = {
        {extractAddresses, "Jo <jo@a.example>, Ann <ann@b.example>", "jo@a.example,ann@b.example"},
        {extractAddresses, "   joe@example.com  ", "joe@example.com"},
        {extractAddresses, "<>", ""},
        // A bare address before a bracketed one is lost, and its comma with it.
        {extractAddresses, "bare@x.example, Ann <ann@b.example>", "ann@b.example"},
        {extractAddresses, "<a,b@x>", "a,,b@x"},  // a comma inside is appended twice
        {extractAddresses, "Joe < joe@x >", " joe@x "},
        {extractAddresses, "Joe <joe@x", "joe@x"},
        {tidyAddress, "joe@example.com\r\n\r\n", "joe@example.com\r\n"},  // one line end only
        {tidyAddress, "joe@example.com\n", "joe@example.com\n"},
        {tidyAddress, "Joe <joe@x\r\n", "Joe <joe@x>"},
        {tidyAddress, "a <b> <c", "a <b> <c>"},
    };
    for (const Rewrite& c : cases) {
        EXPECT_EQ(c.helper(c.in), c.out) << '"' << c.in << '"';
    }
}

}  // namespace
}  // namespace vorel
