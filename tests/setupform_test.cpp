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

struct LeaveCase {
    const char* typed;
    const char* kept;
};

class DialUpWhenLeave : public ::testing::TestWithParam<LeaveCase> {};

TEST_P(DialUpWhenLeave, ShortIntervalsBecomeZero) {
    EXPECT_EQ(dialUpWhenAfterLeaving(GetParam().typed), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(Values, DialUpWhenLeave,
                         ::testing::Values(LeaveCase{"5", "0"}, LeaveCase{"20", "20"},
                                           LeaveCase{"-3", "0"}, LeaveCase{"19.9", "0"},
                                           LeaveCase{"19 sec", "0"}, LeaveCase{"0", "0"},
                                           LeaveCase{"", ""}, LeaveCase{"often", "often"},
                                           LeaveCase{"3600", "3600"}, LeaveCase{"-30", "0"}));

TEST(AntiSpamAdd, FieldsAreJoinedByTabsUntrimmed) {
    EXPECT_EQ(antiSpamItemToAdd("", "Buy now", ""), "\tBuy now\t");
    EXPECT_EQ(antiSpamItemToAdd("spam@x.example", "", ""), "spam@x.example\t\t");
    EXPECT_EQ(antiSpamItemToAdd(" a ", "b", "c@me.example"), " a \tb\tc@me.example");
    EXPECT_EQ(antiSpamItemToAdd("", "", ""), std::nullopt);
}

TEST(EsmtpWarning, ShownWhenTheRunWouldUsePlainSmtp) {
    EXPECT_TRUE(esmtpWarningNeeded("0"));
    EXPECT_TRUE(esmtpWarningNeeded(""));
    EXPECT_FALSE(esmtpWarningNeeded("1"));
    EXPECT_FALSE(esmtpWarningNeeded("2"));
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
    EXPECT_EQ(back.settings.txtPOP, "pop3s://pop.example.com");
    EXPECT_EQ(back.settings.chkESMTP, "1");
    EXPECT_EQ(back.antiSpam, form.antiSpam);
    EXPECT_EQ(std::filesystem::status(f.file("setup.ini")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(SetupFormSave, EmptyListWritesAnEmptyFile) {
    test::TempFolder f;
    f.write("antispam.lst", "old\t\t\r\n");
    EXPECT_EQ(saveSetupForm(f.path(), SetupForm{}), "");
    EXPECT_EQ(f.read("antispam.lst"), "");
}

// A directory in the file's place cannot be replaced, even by root.
TEST(SetupFormSave, FailureNamesTheFileAndWritesNothingMore) {
    test::TempFolder f;
    std::filesystem::create_directories(f.file("setup.ini") + "/x");
    f.write("antispam.lst", "old\t\t\r\n");
    SetupForm form;
    form.antiSpam = {"new\t\t"};
    const std::string error = saveSetupForm(f.path(), form);
    EXPECT_NE(error.find(f.file("setup.ini")), std::string::npos) << error;
    EXPECT_EQ(f.read("antispam.lst"), "old\t\t\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.path()), {}), 2);
}

TEST(SetupFormSave, FailureOfTheListNamesIt) {
    test::TempFolder f;
    std::filesystem::create_directories(f.file("antispam.lst") + "/x");
    const std::string error = saveSetupForm(f.path(), SetupForm{});
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

struct CheckCase {
    const char* name;
    const char* pop;
    const char* esmtp;
    const char* failCall;
    int code;
    const char* said;
};

class ConnectionCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ConnectionCheck, SaysWhatWorkedInOneLine) {
    const CheckCase& c = GetParam();
    test::FakeMailComponent mail;
    if (c.failCall[0] != '\0') {
        mail.failCall(c.failCall, 0, c.code);
    }
    Settings s;
    s.txtPOP = c.pop;
    s.txtSMTP = "smtp.example.com";
    s.txtUSERID = "me";
    s.txtPASSWORD = "pw";
    s.chkESMTP = c.esmtp;
    EXPECT_EQ(checkConnection(s, mail), c.said);
    EXPECT_FALSE(mail.popConnected());
    EXPECT_FALSE(mail.smtpConnected());
    EXPECT_EQ(mail.sent().size(), 0u);
    EXPECT_EQ(mail.callCount("deleteMessage"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectionCheck,
    ::testing::Values(
        CheckCase{"BothWork", "pop.example.com", "0", "", 0,
                  "POP3 server: logged in. SMTP server: greeted."},
        CheckCase{"Esmtp", "pop.example.com", "1", "", 0,
                  "POP3 server: logged in. SMTP server: greeted, ESMTP (AUTH when offered)."},
        CheckCase{"WrongPassword", "pop.example.com", "0", "popConnect", 20012,
                  "POP3 server: Invalid password. SMTP server: greeted."},
        CheckCase{"NoSmtpHost", "pop.example.com", "0", "smtpConnect", 11001,
                  "POP3 server: logged in. SMTP server: Remote host could not be found."},
        CheckCase{"PopNotSet", "", "0", "", 0, "POP3 server: not set. SMTP server: greeted."}),
    [](const ::testing::TestParamInfo<CheckCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vorel
