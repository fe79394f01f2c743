// The settings window's rules without the window: the interval's leave rule,
// new anti-spam items, the ESMTP warning, saving both files and what a failed
// save says, deleting the run log, and the dial-up entries offered.
#include <gtest/gtest.h>

#include <filesystem>

#include "run/ConnectionCheck.h"
#include "run/DialUpEntries.h"
#include "store/SetupForm.h"
#include "support/FakeMailComponent.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

TEST(SetupFormRules, LeaveIntervalAntiSpamItemAndEsmtpWarning) {
    // Intervals under 20 seconds become 0 when the box is left.
    const std::pair<const char*, const char*> leave[] = {
        {"5", "0"}, {"20", "20"}, {"-3", "0"},        {"19.9", "0"},    {"19 sec", "0"},
        {"0", "0"}, {"", ""},     {"often", "often"}, {"3600", "3600"}, {"-30", "0"}};
    for (const auto& [typed, kept] : leave) {
        EXPECT_EQ(dialUpWhenAfterLeaving(typed), kept) << typed;
    }
    // The three fields joined by tabs, untrimmed; nothing when all are empty.
    EXPECT_EQ(antiSpamItemToAdd("", "Buy now", ""), "\tBuy now\t");
    EXPECT_EQ(antiSpamItemToAdd(" a ", "b", "c@me.example"), " a \tb\tc@me.example");
    EXPECT_EQ(antiSpamItemToAdd("", "", ""), std::nullopt);
    // Shown when the run would use plain SMTP.
    for (const char* esmtp : {"0", "", "1", "2"}) {
        EXPECT_EQ(esmtpWarningNeeded(esmtp), esmtp[0] != '1' && esmtp[0] != '2') << esmtp;
    }
}

TEST(SetupFormSave, WritesBothFilesThatLoadBack) {
    test::TempFolder f;
    SetupForm form;
    form.settings.txtPOP = "pop3s://pop.example.com";
    form.settings.chkESMTP = "1";
    form.antiSpam = {"spam@x.example\t\t", "\tBuy now\t"};
    EXPECT_EQ(saveSetupForm(f.path(), form), "");
    EXPECT_EQ(f.read("antispam.lst"), "spam@x.example\t\t\r\n\tBuy now\t\r\n");
    const SetupForm back = loadSetupForm(f.path());
    EXPECT_EQ(back.settings.txtPOP + back.settings.chkESMTP, "pop3s://pop.example.com1");
    EXPECT_EQ(back.antiSpam, form.antiSpam);
    EXPECT_EQ(std::filesystem::status(f.file("setup.ini")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // An empty list writes an empty file.
    EXPECT_EQ(saveSetupForm(f.path(), SetupForm{}), "");
    EXPECT_EQ(f.read("antispam.lst"), "");
}

// A directory in the file's place cannot be replaced, even by root: the
// message names the file, and nothing after it is written.
TEST(SetupFormSave, FailureNamesTheFileAndWritesNothingMore) {
    test::TempFolder f;
    std::filesystem::create_directories(f.file("setup.ini") + "/x");
    f.write("antispam.lst", "old\t\t\r\n");
    SetupForm form;
    form.antiSpam = {"new\t\t"};
    std::string error = saveSetupForm(f.path(), form);
    EXPECT_NE(error.find(f.file("setup.ini")), std::string::npos) << error;
    EXPECT_EQ(f.read("antispam.lst"), "old\t\t\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.path()), {}), 2);

    std::filesystem::remove_all(f.file("setup.ini"));
    std::filesystem::remove(f.file("antispam.lst"));
    std::filesystem::create_directories(f.file("antispam.lst") + "/x");
    error = saveSetupForm(f.path(), SetupForm{});
    EXPECT_NE(error.find(f.file("antispam.lst")), std::string::npos) << error;
}

TEST(RunLog, DeleteRemovesOnlyTheLogAndAMissingOneIsNoError) {
    test::TempFolder f;
    f.write("log.txt", "x\r\n");
    f.write("debug.log", "y\r\n");
    EXPECT_EQ(deleteRunLog(f.path()), "");
    EXPECT_FALSE(f.exists("log.txt"));
    EXPECT_TRUE(f.exists("debug.log"));
    EXPECT_EQ(deleteRunLog(f.path()), "");
}

TEST(DialUpEntries, NetworkManagerNamesInOrderUnescaped) {
    std::vector<std::string> asked;
    auto runner = [&](const std::vector<std::string>& argv) -> std::optional<std::string> {
        asked = argv;
        return std::string("Home DSL\nwork\\:vpn\nback\\\\slash\n\n");
    };
    EXPECT_EQ(dialUpEntryNames("/usr/bin/nmcli", runner),
              (std::vector<std::string>{"Home DSL", "work:vpn", "back\\slash"}));
    EXPECT_EQ(asked, (std::vector<std::string>{"/usr/bin/nmcli", "-t", "-f", "NAME", "connection",
                                               "show"}));
    auto failing = [](const std::vector<std::string>&) -> std::optional<std::string> {
        return std::nullopt;
    };
    EXPECT_TRUE(dialUpEntryNames("/usr/bin/nmcli", failing).empty());
}

// One line says what worked; the check connects and leaves: nothing sent,
// nothing deleted.
TEST(ConnectionCheck, SaysWhatWorkedInOneLine) {
    struct Case {
        const char* pop;
        const char* esmtp;
        const char* failCall;
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
        if (c.failCall[0] != '\0') {
            mail.failCall(c.failCall, 0, c.code);
        }
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
