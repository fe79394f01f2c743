#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Clock.h"
#include "mail/MergeCodes.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using test::TempFolder;

const LocalTime kNow{2026, 12, 5, 9, 4, 7};

struct MergeCase {
    const char* name;
    std::string tmpl;
    MergeFields fields;
    std::string expected;
};

TEST(mergeTemplate, ReplacesCodesInOrderWithExactCase) {
    const std::vector<MergeCase> cases = {
        {"date", "On %date%.", {}, "On 05 December 2026."},
        {"time", "At %time%", {}, "At 09:04:07"},
        {"email", "To %email%, %email%", {}, "To joe@x.example, joe@x.example"},
        {"codes in capitals stay", "%DATE% %Time% %EMAIL%", {}, "%DATE% %Time% %EMAIL%"},
        {"double percent stays", "100%% sure", {}, "100%% sure"},
        {"unknown field stays", "Hi %name%", {}, "Hi %name%"},
        {"field name lowered", "%phone%/%Phone%", {{"Phone", "123"}}, "123/%Phone%"},
        {"first of two same names wins", "%name%", {{"name", "A"}, {"NAME", "B"}}, "A"},
        {"field named date has no effect", "%date%", {{"date", "x"}}, "05 December 2026"},
        {"empty value removes the code", "a%fax%b", {{"fax", ""}}, "ab"},
        {"replacement not searched again", "%x%%x%", {{"x", "%x%"}}, "%x%%x%"},
        {"later field sees earlier values", "%a%", {{"a", "%b%"}, {"b", "X"}}, "X"},
        {"blank kept in name", "%my name%", {{"My Name", "Jo"}}, "Jo"},
        {"empty name replaces double percent", "50%%", {{"", "x"}}, "50x"},
        {"every occurrence", "%n%-%n%-%n%", {{"n", "1"}}, "1-1-1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mergeTemplate(c.tmpl, kNow, "joe@x.example", c.fields), c.expected) << c.name;
    }
}

TEST(mergeTemplate, DateAndTimeForms) {
    std::string months;
    for (int m = 1; m <= 12; ++m) {
        months += formatMergeDate({2027, m, 31, 23, 59, 0}) + ",";
    }
    EXPECT_EQ(months,
              "31 January 2027,31 February 2027,31 March 2027,31 April 2027,31 May 2027,31 June "
              "2027,31 July 2027,31 August 2027,31 September 2027,31 October 2027,31 November "
              "2027,31 December 2027,");
    EXPECT_EQ(formatMergeDate({2026, 1, 1, 0, 0, 0}), "01 January 2026");
    EXPECT_EQ(formatClockTime({2026, 1, 1, 0, 0, 0}), "00:00:00");
    EXPECT_EQ(formatClockTime({2026, 1, 1, 23, 5, 9}), "23:05:09");
}

struct ParseCase {
    const char* name;
    std::string text;
    MergeFields expected;
};

TEST(parseMergeFields, FollowsTheLineRules) {
    const std::vector<ParseCase> cases = {
        {"no marker", "Subject: x~~name=Joe~", {}},
        {"marker in capitals", "%VORELCODE%~name=Joe~", {}},
        {"marker alone on its line",
         "hi~%vorelcode%~name=Joe~phone=123~",
         {{"name", "Joe"}, {"phone", "123"}}},
        {"lines before the marker ignored", "a=1~%vorelcode%~b=2~", {{"b", "2"}}},
        {"two equals signs", "%vorelcode%~url=a=b~", {{"url", "a=b"}}},
        {"empty value", "%vorelcode%~fax=~", {{"fax", ""}}},
        {"plain line joins the next name", "%vorelcode%~hello~name=Jo~", {{"hello~name", "Jo"}}},
        {"text on the marker's line", "%vorelcode% a=1~b=2~", {{" a", "1"}, {"b", "2"}}},
        {"last line without end", "%vorelcode%~a=1~b=2~c=3", {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
        {"no end marker: later lines too",
         "%vorelcode%~a=1~~Regards~x=y~",
         {{"a", "1"}, {"~Regards~x", "y"}}},
        {"later markers removed", "%vorelcode%~a=1~%vorelcode%~b=2~", {{"a", "1"}, {"~b", "2"}}},
        {"names keep case and blanks", "%vorelcode%~My Phone =  5 ~", {{"My Phone ", "  5 "}}},
        {"marker at the very end", "text~%vorelcode%", {}},
        {"line without equals at the end", "%vorelcode%~a=1~trailing~", {{"a", "1"}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseMergeFields(c.text), c.expected) << c.name;
    }
}

TEST(readMessageTextFile, JoinsLinesWithTildeAndStopsAfterTheLimit) {
    TempFolder folder;
    folder.write("crlf.msg", "a\r\nb\r\n\r\nc\r\n");
    folder.write("lf.msg", "a\nb\n\nc");
    folder.write("empty.msg", "");
    EXPECT_EQ(readMessageTextFile(folder.file("crlf.msg")), "a~b~~c~");
    EXPECT_EQ(readMessageTextFile(folder.file("lf.msg")), "a~b~~c~");
    EXPECT_EQ(readMessageTextFile(folder.file("empty.msg")), "");
    EXPECT_THROW(readMessageTextFile(folder.file("missing.msg")), std::exception);

    // 150-character lines: 212 lines pass 32000 (212 * 151 = 32012), and the
    // limit is tested before each line, so exactly 212 are read.
    std::string line(150, 'x');
    std::string big;
    for (int i = 0; i < 400; ++i) {
        big += line + "\r\n";
    }
    folder.write("big.msg", big);
    EXPECT_EQ(readMessageTextFile(folder.file("big.msg")).size(), 212u * 151u);

    // Reaching exactly 32000 stops the reading too.
    std::string exact;
    for (int i = 0; i < 400; ++i) {
        exact += std::string(99, 'y') + "\n";
    }
    folder.write("exact.msg", exact);
    EXPECT_EQ(readMessageTextFile(folder.file("exact.msg")).size(), 32000u);

    // A line longer than one read of the file is still one line; only one CR
    // before the LF belongs to the line end.
    folder.write("long.msg", std::string(70000, 'z') + "\r\nb\r\n");
    EXPECT_EQ(readMessageTextFile(folder.file("long.msg")), std::string(70000, 'z') + "~");
    folder.write("cr.msg", "x\r\r\n\r\ny");
    EXPECT_EQ(readMessageTextFile(folder.file("cr.msg")), "x\r~~y~");

    // A field whose line starts past the limit is not found; one before it is.
    std::string withFields = "%vorelcode%\r\nnear=1\r\n";
    while (withFields.size() < 32100) {
        withFields += line + "\r\n";
    }
    withFields += "far=2\r\n";
    folder.write("fields.msg", withFields);
    MergeFields fields = parseMergeFields(readMessageTextFile(folder.file("fields.msg")));
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"near", "1"}));
}

}  // namespace
}  // namespace vorel
