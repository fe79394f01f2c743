// The application folder, setup.ini, antispam.lst, and the settings window's rules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <filesystem>
#include <string>
#include <tuple>

#include "forms/ConnectionCheck.h"
#include "forms/SetupForm.h"
#include "run/DialUpEntries.h"
#include "store/AntiSpam.h"
#include "store/AppFolder.h"
#include "support/FakeMailComponent.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;
using Lines = std::vector<std::string>;

TEST(AppFolder, ResolutionOrder) {
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
}

// A file in a folder's way is named; files are found in any case, an exact match first.
TEST(AppFolder, EnsureFolderAndFindFileNoCase) {
    TempFolder f;
    ensureFolder(f.file("a/b/c"));
    EXPECT_TRUE(fileExists(f.file("a/b/c")));
    f.write("plain", "x");
    try {
        ensureFolder(f.file("plain/sub"));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(f.file("plain/sub")), std::string::npos);
    }
    f.write("AntiSpam.Lst", "");
    EXPECT_EQ(findFileNoCase(f.path(), "ANTISPAM.LST"), f.file("AntiSpam.Lst"));
    f.write("antispam.lst", "");
    EXPECT_EQ(findFileNoCase(f.path(), "antispam.lst"), f.file("antispam.lst"));
    ensureFolder(f.file("DIR.LST"));
    EXPECT_FALSE(findFileNoCase(f.path(), "dir.lst"));
    EXPECT_FALSE(findFileNoCase(f.file("missing"), "x"));
}

TEST(SettingsLine, EveryReaderAgrees) {
    for (const auto& [text, onUnlessZero, onWhenNonZero, debugOn, rounded] :
         {std::tuple{"0", false, false, false, 0L}, std::tuple{"1", true, true, true, 1L},
          std::tuple{"", true, false, false, 0L}, std::tuple{"yes", true, false, false, 0L},
          std::tuple{"2", true, true, false, 2L}, std::tuple{"0.0", true, false, false, 0L},
          std::tuple{" 0", true, false, false, 0L}, std::tuple{"0.5", true, true, false, 0L},
          std::tuple{"1.5", true, true, false, 2L}, std::tuple{"2.5", true, true, false, 2L},
          std::tuple{"-1.5", true, true, false, -2L},
          std::tuple{"  +1.2e1 s", true, true, false, 12L},
          std::tuple{"\t1e", true, true, true, 1L}, std::tuple{".6", true, true, true, 1L},
          std::tuple{"0x10", true, false, false, 0L}, std::tuple{"- 1", true, false, false, 0L},
          std::tuple{"1e999", true, true, false, LONG_MAX},
          std::tuple{"-1e999", true, true, false, LONG_MIN}}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(lineIsOnUnlessZero(text), onUnlessZero);
        EXPECT_EQ(lineIsOnWhenNonZero(text), onWhenNonZero);
        EXPECT_EQ(debugModeOn(text), debugOn);
        EXPECT_EQ(roundedNumber(text), rounded);
        EXPECT_EQ(esmtpWarningNeeded(text), !onWhenNonZero);
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

// All 18 lines with CR LF; a line break in a value would shift every later line.
TEST(SettingsFile, WriteThenRead) {
    TempFolder f;
    Settings s;
    s.txtPASSWORD = "pa ss\r\nword";
    s.chkDEBUG = "1";
    writeSettings(f.path(), s);
    EXPECT_EQ(f.read("setup.ini"),
              "\r\n\r\n\r\npa ss  word\r\n0\r\n1\r\n\r\n\r\n\r\n0\r\n\r\n\r\n"
              "\r\n\r\n0\r\n30\r\n0\r\n1\r\n");
    s.txtPOP = "x";
    EXPECT_EQ(readSettingsLines(f.path(), s), 18);
    EXPECT_EQ(s.txtPOP + "|" + s.txtPASSWORD + "|" + s.chkDEBUG, "|pa ss  word|1");
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
              "me||30|0");
    f.write("setup.ini", "p\ns\nu\nw\n1.4\n2\nf\nr\nlog\n3\ne\ni\nq\n60\n1\n10\n1\n1\n");
    w = readSettingsForWindow(f.path());
    EXPECT_EQ(w.chkLEAVE + w.chkLOG + w.txtEMAILLOG + w.chkAUTODIAL + w.cmbDIALUP + w.txtTIMEOUT,
              "12log030");
    EXPECT_EQ(readSettingsLines(f.path(), s), 18);
    EXPECT_EQ(s.chkAUTODIAL + s.txtTIMEOUT, "310");

    // Line 14 rounded for the main window's countdown, else the previous value.
    f.write("setup.ini", "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n45.5");
    EXPECT_EQ(readAutoRunInterval(f.path(), 3), 46);
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

    TempFolder f;
    EXPECT_TRUE(readAntiSpamLines(f.path()).empty());
    f.write("ANTISPAM.LST", "a@b\t\t\r\n\tsubj\t\nlast");
    EXPECT_EQ(findAntiSpamFile(f.path()), f.file("ANTISPAM.LST"));
    EXPECT_EQ(readAntiSpamLines(f.path()), (Lines{"a@b\t\t", "\tsubj\t", "last"}));
    writeAntiSpamLines(f.path(), {"x\ty\tz", "one\ntwo"});  // over it, not beside it
    EXPECT_EQ(f.read("ANTISPAM.LST"), "x\ty\tz\r\none two\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(f.path()), {}), 1);
}

// Ok writes setup.ini, then antispam.lst; one that cannot be written is named.
TEST(SetupForm, SaveNamesTheFileThatFailed) {
    TempFolder f;
    fs::create_directories(f.file("antispam.lst/x"));
    const Outcome saved = saveSetupForm(f.path(), SetupForm{});
    EXPECT_FALSE(saved.ok);
    EXPECT_NE(saved.message.find(f.file("antispam.lst")), std::string::npos) << saved.message;
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
    const auto failing = [](const Lines&) { return std::optional<std::string>(); };
    EXPECT_TRUE(dialUpEntryNames("/usr/bin/nmcli", failing).empty());
}

// One line says what worked; the check connects and leaves, sending and deleting nothing.
TEST(SetupForm, ConnectionCheckSaysWhatWorkedInOneLine) {
    for (const auto& [pop, esmtp, failCall, code, ok, said] :
         {std::tuple{"pop.x", "0", "", 0, true, "POP3 server: logged in. SMTP server: greeted."},
          std::tuple{"pop.x", "1", "", 0, true,
                     "POP3 server: logged in. SMTP server: greeted, ESMTP (AUTH when offered)."},
          std::tuple{"pop.x", "0", "popConnect", 20012, false,
                     "POP3 server: Invalid password. SMTP server: greeted."},
          std::tuple{"pop.x", "0", "smtpConnect", 11001, false,
                     "POP3 server: logged in. SMTP server: Remote host could not be found."},
          std::tuple{"", "0", "", 0, true, "POP3 server: not set. SMTP server: greeted."}}) {
        test::FakeMailComponent mail;
        mail.failCall(failCall, 0, code);
        Settings s;
        s.txtPOP = pop;
        s.txtSMTP = "smtp.example.com";
        s.chkESMTP = esmtp;
        const Outcome checked = checkConnection(s, mail);
        EXPECT_EQ(checked.message, said);
        EXPECT_EQ(checked.ok, ok) << said;
        EXPECT_FALSE(mail.popConnected() || mail.smtpConnected()) << said;
        EXPECT_EQ(mail.sent().size() + mail.deletedMessages().size(), 0u);
    }
}

}  // namespace
}  // namespace vorel
