// setup.ini: how each reader turns a line into a value, files that end early,
// and the writer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>

#include "store/Settings.h"
#include "support/TempFolder.h"

using vorel::Settings;
using vorel::test::TempFolder;

namespace {

struct LineCase {
    const char* text;
    bool onUnlessZero;   // lines 5, 6
    bool onWhenNonZero;  // lines 10, 15, 17
    bool debugOn;        // line 18
    long rounded;        // lines 14, 18 and the check boxes of the window
};

class SettingsLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(SettingsLine, EveryReaderAgrees) {
    const LineCase& c = GetParam();
    EXPECT_EQ(vorel::lineIsOnUnlessZero(c.text), c.onUnlessZero);
    EXPECT_EQ(vorel::lineIsOnWhenNonZero(c.text), c.onWhenNonZero);
    EXPECT_EQ(vorel::debugModeOn(c.text), c.debugOn);
    EXPECT_EQ(vorel::roundedNumber(c.text), c.rounded);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsLine,
    ::testing::Values(LineCase{"0", false, false, false, 0}, LineCase{"1", true, true, true, 1},
                      LineCase{"", true, false, false, 0}, LineCase{"yes", true, false, false, 0},
                      LineCase{"2", true, true, false, 2}, LineCase{"0.0", true, false, false, 0},
                      LineCase{" 0", true, false, false, 0}, LineCase{"0.4", true, true, false, 0},
                      LineCase{"0.5", true, true, false, 0}, LineCase{"1.5", true, true, false, 2},
                      LineCase{"2.5", true, true, false, 2}, LineCase{"-0.5", true, true, false, 0},
                      LineCase{"-1.5", true, true, false, -2},
                      LineCase{"  +1.2e1 s", true, true, false, 12},
                      LineCase{"\t1e", true, true, true, 1}, LineCase{".6", true, true, true, 1},
                      LineCase{"0x10", true, false, false, 0}, LineCase{"1,5", true, true, true, 1},
                      LineCase{"- 1", true, false, false, 0},
                      LineCase{"1e999", true, true, false, LONG_MAX},
                      LineCase{"-1e999", true, true, false, LONG_MIN}));

TEST(SettingsLine, LeadingNumberAndTimeout) {
    EXPECT_DOUBLE_EQ(vorel::leadingNumber(" -2.25E-1x"), -0.225);
    EXPECT_DOUBLE_EQ(vorel::leadingNumber("1e-999"), 0.0);
    EXPECT_EQ(vorel::runTimeout(""), "30");
    EXPECT_EQ(vorel::runTimeout("45"), "45");
}

std::string lines(std::initializer_list<const char*> values, const char* end = "\r\n") {
    std::string s;
    for (const char* v : values) {
        s += v;
        s += end;
    }
    return s;
}

TEST(SettingsFile, WriteThenReadEveryLine) {
    TempFolder f;
    Settings s;
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        s.line(n) = "value " + std::to_string(n);
    }
    s.txtPASSWORD = "pa ss\r\nword";  // a break would shift every later line
    vorel::writeSettings(f.path(), s);

    std::string content = f.read("setup.ini");
    EXPECT_EQ(content.substr(0, 32), "value 1\r\nvalue 2\r\nvalue 3\r\npa ss");
    EXPECT_EQ(content.substr(content.size() - 10), "value 18\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(f.file("setup.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Settings back;
    EXPECT_EQ(vorel::readSettingsLines(f.path(), back), 18);
    EXPECT_EQ(back.txtPASSWORD, "pa ss  word");
    EXPECT_EQ(back.chkDEBUG, "value 18");
    EXPECT_EQ(back.txtDIALUPWHEN, "value 14");
    // Nothing but setup.ini is left in the folder, even when the rename over
    // it fails (a folder in its place).
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.path()), {}), 1);
    std::filesystem::remove(f.file("setup.ini"));
    std::filesystem::create_directory(f.file("setup.ini"));
    EXPECT_THROW(vorel::writeSettings(f.path(), Settings{}), std::runtime_error);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.path()), {}), 1);
}

TEST(SettingsFile, FileThatEndsEarlyKeepsTheRest) {
    TempFolder f;
    f.write("setup.ini", lines({"pop.example", "smtp.example", "me", "pw", "1"}, "\n"));
    Settings s;
    s.txtTIMEOUT = "99";
    EXPECT_EQ(vorel::readSettingsLines(f.path(), s), 5);
    EXPECT_EQ(s.txtSMTP, "smtp.example");
    EXPECT_EQ(s.chkLEAVE, "1");
    EXPECT_EQ(s.chkLOG, "1");
    EXPECT_EQ(s.txtTIMEOUT, "99");
    EXPECT_EQ(vorel::readAutoRunInterval(f.path(), 77), 77);

    Settings w = vorel::readSettingsForWindow(f.path());
    EXPECT_EQ(w.txtUSERID, "me");
    EXPECT_EQ(w.txtRUNPROGRAM, "C:\\pmail\\winpm-32.exe");
    EXPECT_EQ(w.txtTIMEOUT, "30");
}

TEST(SettingsFile, AutoRunIntervalIsLine14Rounded) {
    TempFolder f;
    const std::string thirteen = lines({"", "", "", "", "", "", "", "", "", "", "", "", ""});
    for (const auto& [line14, interval] : std::vector<std::pair<std::string, int>>{
             {"45.5\r\n", 46}, {"12", 12} /* no line end */, {"soon\r\n", 0}}) {
        f.write("setup.ini", thirteen + line14);
        EXPECT_EQ(vorel::readAutoRunInterval(f.path(), 3), interval) << line14;
    }
    std::remove(f.file("setup.ini").c_str());
    EXPECT_EQ(vorel::readAutoRunInterval(f.path(), 3), 3);
    Settings s;
    EXPECT_FALSE(vorel::readSettingsLines(f.path(), s).has_value());
}

TEST(SettingsFile, WindowStopsAtACheckBoxValueItCannotTake) {
    TempFolder f;
    f.write("setup.ini", lines({"p", "s", "u", "w", "1.4", "2", "fwd", "prog", "log", "3", "entry",
                                "id", "pw", "60", "1", "10", "1", "1"}));
    Settings w = vorel::readSettingsForWindow(f.path());
    EXPECT_EQ(w.chkLEAVE, "1");
    EXPECT_EQ(w.chkLOG, "2");
    EXPECT_EQ(w.txtEMAILLOG, "log");
    EXPECT_EQ(w.chkAUTODIAL, "0");  // "3": loading stops here
    EXPECT_EQ(w.cmbDIALUP, "");
    EXPECT_EQ(w.txtTIMEOUT, "30");

    // The run's reader keeps every line as stored.
    Settings r;
    EXPECT_EQ(vorel::readSettingsLines(f.path(), r), 18);
    EXPECT_EQ(r.chkAUTODIAL, "3");
    EXPECT_TRUE(vorel::lineIsOnWhenNonZero(r.chkAUTODIAL));
    EXPECT_EQ(r.txtTIMEOUT, "10");
}

}  // namespace
