// The application folder and its settings: where the folder is, setup.ini
// and how each reader takes a line, antispam.lst, and the rules the settings
// window applies without the window.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <filesystem>
#include <string>

#include "run/ConnectionCheck.h"
#include "run/DialUpEntries.h"
#include "store/AntiSpam.h"
#include "store/AppFolder.h"
#include "store/SetupForm.h"
#include "support/FakeMailComponent.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;
using Lines = std::vector<std::string>;

TEST(AppFolder, ResolutionOrder) {
    const std::string home = getenv("HOME");
    setenv("HOME", "/home/someone", 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("VOREL_FOLDER");
    EXPECT_EQ(resolveAppFolder(std::nullopt), "/home/someone/.local/share/vorel");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    EXPECT_EQ(resolveAppFolder(std::nullopt), "/home/someone/.local/share/vorel");
    setenv("XDG_DATA_HOME", "/data/", 1);
    setenv("VOREL_FOLDER", "", 1);
    EXPECT_EQ(resolveAppFolder(std::nullopt), "/data/vorel");
    setenv("VOREL_FOLDER", "/srv/vorel/", 1);
    EXPECT_EQ(resolveAppFolder(std::nullopt), "/srv/vorel");
    EXPECT_EQ(resolveAppFolder(std::string("/opt/x")), "/opt/x");
    EXPECT_EQ(resolveAppFolder(std::string("")), "/srv/vorel");
    // Pinned to the working directory: queue records hold message file paths.
    EXPECT_EQ(resolveAppFolder(std::string("rel/./app")), fs::current_path().string() + "/rel/app");
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("VOREL_FOLDER");
}

// Folders are made with their parents; a file in the way is named. Files
// are found without regard to case, an exact match first, folders never.
TEST(AppFolder, EnsureFolderAndFindFileNoCase) {
    TempFolder f;
    ensureFolder(f.file("a/b/c"));
    ensureFolder(f.file("a/b/c"));
    EXPECT_TRUE(fileExists(f.file("a/b/c")));
    f.write("plain", "x");
    try {
        ensureFolder(f.file("plain/sub"));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(f.file("plain/sub")), std::string::npos);
    }
    EXPECT_FALSE(findFileNoCase(f.path(), "antispam.lst"));
    f.write("AntiSpam.Lst", "");
    EXPECT_EQ(findFileNoCase(f.path(), "ANTISPAM.LST"), f.file("AntiSpam.Lst"));
    f.write("antispam.lst", "");
    EXPECT_EQ(findFileNoCase(f.path(), "antispam.lst"), f.file("antispam.lst"));
    ensureFolder(f.file("DIR.LST"));
    EXPECT_FALSE(findFileNoCase(f.path(), "dir.lst"));
    EXPECT_FALSE(findFileNoCase(f.file("missing"), "x"));
}

TEST(SettingsLine, EveryReaderAgrees) {
    struct Case {
        const char* text;
        bool onUnlessZero, onWhenNonZero, debugOn;
        long rounded;  // halves to even
    };
    for (const Case& c :
         {Case{"0", false, false, false, 0}, Case{"1", true, true, true, 1},
          Case{"", true, false, false, 0}, Case{"yes", true, false, false, 0},
          Case{"2", true, true, false, 2}, Case{"0.0", true, false, false, 0},
          Case{" 0", true, false, false, 0}, Case{"0.5", true, true, false, 0},
          Case{"1.5", true, true, false, 2}, Case{"2.5", true, true, false, 2},
          Case{"-1.5", true, true, false, -2}, Case{"  +1.2e1 s", true, true, false, 12},
          Case{"\t1e", true, true, true, 1}, Case{".6", true, true, true, 1},
          Case{"0x10", true, false, false, 0}, Case{"- 1", true, false, false, 0},
          Case{"1e999", true, true, false, LONG_MAX},
          Case{"-1e999", true, true, false, LONG_MIN}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(lineIsOnUnlessZero(c.text), c.onUnlessZero);
        EXPECT_EQ(lineIsOnWhenNonZero(c.text), c.onWhenNonZero);
        EXPECT_EQ(debugModeOn(c.text), c.debugOn);
        EXPECT_EQ(roundedNumber(c.text), c.rounded);
        EXPECT_EQ(esmtpWarningNeeded(c.text), !c.onWhenNonZero);
    }
    EXPECT_DOUBLE_EQ(leadingNumber(" -2.25E-1x"), -0.225);
    EXPECT_EQ(runTimeout("") + runTimeout("45"), "3045");
    // Leaving the interval box: a countdown under 20 seconds becomes 0.
    for (const auto& [typed, kept] :
         {std::pair{"5", "0"}, std::pair{"20", "20"}, std::pair{"19.9", "0"},
          std::pair{"19 sec", "0"}, std::pair{"-30", "0"}, std::pair{"", ""},
          std::pair{"often", "often"}}) {
        EXPECT_EQ(dialUpWhenAfterLeaving(typed), kept) << typed;
    }
}

TEST(SettingsFile, WriteThenReadEveryLine) {
    TempFolder f;
    Settings s;
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        s.line(n) = "value " + std::to_string(n);
    }
    s.txtPASSWORD = "pa ss\r\nword";  // a break would shift every later line
    writeSettings(f.path(), s);
    const std::string content = f.read("setup.ini");
    EXPECT_EQ(content.substr(0, 32), "value 1\r\nvalue 2\r\nvalue 3\r\npa ss");
    EXPECT_EQ(content.substr(content.size() - 10), "value 18\r\n");
    Settings back;
    EXPECT_EQ(readSettingsLines(f.path(), back), 18);
    EXPECT_EQ(back.txtPASSWORD + "|" + back.txtDIALUPWHEN + "|" + back.chkDEBUG,
              "pa ss  word|value 14|value 18");
    // Nothing but setup.ini is left, even when the rename over it fails.
    fs::remove(f.file("setup.ini"));
    fs::create_directory(f.file("setup.ini"));
    EXPECT_THROW(writeSettings(f.path(), Settings{}), std::runtime_error);
    EXPECT_EQ(std::distance(fs::directory_iterator(f.path()), {}), 1);
}

// A file that ends early keeps the earlier values (the window's reader: the
// defaults); the window stops loading at a check-box value a box cannot take.
TEST(SettingsFile, ShortFilesAndTheWindowsReader) {
    TempFolder f;
    f.write("setup.ini", "pop.example\nsmtp.example\nme\npw\n1\n");
    Settings s;
    s.txtTIMEOUT = "99";
    EXPECT_EQ(readSettingsLines(f.path(), s), 5);
    EXPECT_EQ(s.txtSMTP + "|" + s.chkLEAVE + "|" + s.chkLOG + "|" + s.txtTIMEOUT,
              "smtp.example|1|1|99");
    EXPECT_EQ(readAutoRunInterval(f.path(), 77), 77);
    Settings w = readSettingsForWindow(f.path());
    EXPECT_EQ(w.txtUSERID + "|" + w.txtRUNPROGRAM + "|" + w.txtTIMEOUT + "|" + w.chkESMTP,
              "me|C:\\pmail\\winpm-32.exe|30|0");
    f.write(
        "setup.ini",
        "p\r\ns\r\nu\r\nw\r\n1."
        "4\r\n2\r\nfwd\r\nprog\r\nlog\r\n3\r\nentry\r\nid\r\npw\r\n60\r\n1\r\n10\r\n1\r\n1\r\n");
    w = readSettingsForWindow(f.path());
    EXPECT_EQ(w.chkLEAVE + w.chkLOG + w.txtEMAILLOG + w.chkAUTODIAL + w.cmbDIALUP + w.txtTIMEOUT,
              "12log030");
    EXPECT_EQ(readSettingsLines(f.path(), s), 18);
    EXPECT_EQ(s.chkAUTODIAL + s.txtTIMEOUT, "310");

    // Line 14 rounded for the main window's countdown, else the previous value.
    const std::string thirteen = "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
    for (const auto& [line14, interval] :
         {std::pair{"45.5\r\n", 46}, {"12", 12}, {"soon\r\n", 0}}) {
        f.write("setup.ini", thirteen + line14);
        EXPECT_EQ(readAutoRunInterval(f.path(), 3), interval) << line14;
    }
    fs::remove(f.file("setup.ini"));
    EXPECT_EQ(readAutoRunInterval(f.path(), 3), 3);
    EXPECT_FALSE(readSettingsLines(f.path(), s).has_value());
}

TEST(AntiSpamFile, LinesSplitAndTheFileFoundWhateverItsCase) {
    const char* split[][4] = {{"spam@x.com", "spam@x.com", "", ""},
                              {"\tWin money\t", "", "Win money", ""},
                              {"\t\tme@here", "", "", "me@here"},
                              {"a\tb\tc\td\te", "a", "b", "c"},
                              {" a \t b \t c ", " a ", " b ", " c "}};
    for (const auto& c : split) {
        const AntiSpamEntry e = splitAntiSpamLine(c[0]);
        EXPECT_EQ(e.from + "|" + e.subject + "|" + e.to,
                  std::string(c[1]) + "|" + c[2] + "|" + c[3]);
    }
    EXPECT_EQ(antiSpamItemToAdd(" a ", "", "c@me.example"), " a \t\tc@me.example");
    EXPECT_EQ(antiSpamItemToAdd("", "", ""), std::nullopt);

    TempFolder f;
    EXPECT_TRUE(readAntiSpamLines(f.path()).empty());
    f.write("ANTISPAM.LST", "a@b\t\t\r\n\tsubj\t\nlast");
    EXPECT_EQ(findAntiSpamFile(f.path()), f.file("ANTISPAM.LST"));
    EXPECT_EQ(readAntiSpamLines(f.path()), (Lines{"a@b\t\t", "\tsubj\t", "last"}));
    writeAntiSpamLines(f.path(), {"x\ty\tz", "one\ntwo"});  // over it, not beside it
    EXPECT_EQ(f.read("ANTISPAM.LST"), "x\ty\tz\r\none two\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(f.path()), {}), 1);
}

// Ok writes setup.ini, then antispam.lst; a file that cannot be written (a
// folder in its place, even for root) is named.
TEST(SetupForm, SaveNamesTheFileThatFailed) {
    TempFolder f;
    fs::create_directories(f.file("antispam.lst/x"));
    const std::string error = saveSetupForm(f.path(), SetupForm{});
    EXPECT_NE(error.find(f.file("antispam.lst")), std::string::npos) << error;
    EXPECT_TRUE(f.exists("setup.ini"));
}

TEST(SetupForm, DialUpEntriesAreNetworkManagerNamesUnescaped) {
    Lines asked;
    const auto runner = [&asked](const Lines& argv) -> std::optional<std::string> {
        asked = argv;
        return std::string("Home DSL\nwork\\:vpn\nb\\\\s\n\n");
    };
    EXPECT_EQ(dialUpEntryNames("/usr/bin/nmcli", runner), (Lines{"Home DSL", "work:vpn", "b\\s"}));
    EXPECT_EQ(asked, (Lines{"/usr/bin/nmcli", "-t", "-f", "NAME", "connection", "show"}));
    EXPECT_TRUE(dialUpEntryNames("/usr/bin/nmcli", [](const Lines&) -> std::optional<std::string> {
                    return std::nullopt;
                }).empty());
}

// One line says what worked; the check connects and leaves: nothing sent,
// nothing deleted.
TEST(SetupForm, ConnectionCheckSaysWhatWorkedInOneLine) {
    struct Case {
        const char *pop, *esmtp, *failCall;
        int code;
        const char* said;
    };
    const Case cases[] = {
        {"pop.example.com", "0", "", 0, "POP3 server: logged in. SMTP server: greeted."},
        {"pop.example.com", "1", "", 0,
         "POP3 server: logged in. SMTP server: greeted, ESMTP (AUTH when offered)."},
        {"pop.example.com", "0", "popConnect", 20012,
         "POP3 server: Invalid password. SMTP server: greeted."},
        {"pop.example.com", "0", "smtpConnect", 11001,
         "POP3 server: logged in. SMTP server: Remote host could not be found."},
        {"", "0", "", 0, "POP3 server: not set. SMTP server: greeted."}};
    for (const Case& c : cases) {
        test::FakeMailComponent mail;
        mail.failCall(c.failCall, 0, c.code);
        Settings s;
        s.txtPOP = c.pop;
        s.txtSMTP = "smtp.example.com";
        s.chkESMTP = c.esmtp;
        EXPECT_EQ(checkConnection(s, mail), c.said);
        EXPECT_FALSE(mail.popConnected() || mail.smtpConnected()) << c.said;
        EXPECT_EQ(mail.sent().size() + mail.deletedMessages().size(), 0u);
    }
}

}  // namespace
}  // namespace vorel
