// antispam.lst: splitting and composing entries, and the file whatever the
// letter case of its name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "store/AntiSpam.h"
#include "support/TempFolder.h"

using vorel::test::TempFolder;

namespace {

struct SplitCase {
    const char* line;
    const char* from;
    const char* subject;
    const char* to;
};

class AntiSpamSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(AntiSpamSplit, Patterns) {
    const SplitCase& c = GetParam();
    vorel::AntiSpamEntry e = vorel::splitAntiSpamLine(c.line);
    EXPECT_EQ(e.from, c.from);
    EXPECT_EQ(e.subject, c.subject);
    EXPECT_EQ(e.to, c.to);
}

INSTANTIATE_TEST_SUITE_P(Lines, AntiSpamSplit,
                         ::testing::Values(SplitCase{"spam@x.com", "spam@x.com", "", ""},
                                           SplitCase{"\tWin money\t", "", "Win money", ""},
                                           SplitCase{"a@b\tsubj", "a@b", "subj", ""},
                                           SplitCase{"\t\tme@here", "", "", "me@here"},
                                           SplitCase{"a\tb\tc\td\te", "a", "b", "c"},
                                           SplitCase{" a \t b \t c ", " a ", " b ", " c "},
                                           SplitCase{"", "", "", ""}));

TEST(AntiSpamFile, NameMatchedWithoutRegardToCase) {
    TempFolder f;
    EXPECT_TRUE(vorel::readAntiSpamLines(f.path()).empty());
    vorel::writeAntiSpamLines(f.path(), {vorel::composeAntiSpamLine(" a ", "", "c")});
    EXPECT_EQ(f.read("antispam.lst"), " a \t\tc\r\n");
    std::remove(f.file("antispam.lst").c_str());

    f.write("ANTISPAM.LST", "a@b\t\t\r\n\tsubj\t\nlast");
    EXPECT_EQ(vorel::findAntiSpamFile(f.path()), f.file("ANTISPAM.LST"));
    EXPECT_EQ(vorel::readAntiSpamLines(f.path()),
              (std::vector<std::string>{"a@b\t\t", "\tsubj\t", "last"}));

    // Written over the existing file, not beside it.
    vorel::writeAntiSpamLines(f.path(), {"x\ty\tz", "one\ntwo"});
    EXPECT_EQ(f.read("ANTISPAM.LST"), "x\ty\tz\r\none two\r\n");
    EXPECT_FALSE(f.exists("antispam.lst"));

    vorel::writeAntiSpamLines(f.path(), {});
    EXPECT_EQ(f.read("ANTISPAM.LST"), "");
    EXPECT_TRUE(vorel::readAntiSpamLines(f.path()).empty());
}

}  // namespace
