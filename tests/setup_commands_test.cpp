// The setup commands end to end: they store what the windows' rules store and refuse
// with the windows' messages, exit 1 and nothing changed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "forms/AutoresponderEditor.h"
#include "forms/ListRules.h"
#include "forms/MemberRules.h"
#include "store/Database.h"
#include "store/SignInSettings.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

struct Ran {
    int status;
    std::string out, err;
};

struct SetupCommandsTest : ::testing::Test {
    test::TempFolder cli, io;

    Ran vorel(const std::string& args, const std::string& input = "") const {
        io.write("in", input);
        const int status = std::system(("VOREL_FOLDER= VOREL_PASSWORD_COMMAND= "
                                        "DBUS_SESSION_BUS_ADDRESS= XDG_RUNTIME_DIR= '" +
                                        std::string(VOREL_BINARY) + "' --folder '" + cli.path() +
                                        "' " + args + " <'" + io.file("in") + "' >'" +
                                        io.file("out") + "' 2>'" + io.file("err") + "'")
                                           .c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, io.read("out"), io.read("err")};
    }
    Database db() const { return Database::open(cli.file("data.mdb")); }
};

std::string rows(Database d) {
    std::ostringstream s;
    for (const Autoresponder& a : d.autoresponders()) {
        s << a.Name << '|' << a.To << '|' << a.Subject << '|' << a.msgfrom << '|' << a.msgsubject
          << '|' << a.message << '|' << a.mailto << '|' << a.activefrom << '|' << a.activeuntil
          << '|' << a.replydays << '|' << a.Counter << '\n';
    }
    for (const MailingList& l : d.lists()) {
        s << l.Name << '|' << l.Type << '|' << l.onsubscribeto << '|' << l.onunsubscribeto << '|'
          << l.subscribemessage << '|' << l.textTOADD << '|' << l.confirm << l.fromList << '\n';
        for (const Member& m : d.members(l.Name)) {
            s << "  " << m.Email << '|' << m.bounces << '\n';
        }
    }
    return s.str();
}

TEST_F(SetupCommandsTest, CommandsStoreWhatTheWindowsStoreAndRefuseWithTheirWords) {
    ASSERT_EQ(vorel("init").status, 0);
    io.write("reply.txt", "Thanks,\nwe read it.\n");
    const std::string reply = io.file("reply.txt");
    io.write("welcome.txt", "Welcome\n");
    const struct {
        std::string args;
        int status;
        std::string said;
    } table[] = {
        {"autoresponder add Info --to info@x.example --message-file '" + reply + "' --replydays 2",
         0, AutoresponderEditor::kSaved},
        {"autoresponder add INFO --msgsubject 'Re: you'", 0, AutoresponderEditor::kSaved},
        {"autoresponder add Info --activefrom tomorrow", 1, AutoresponderEditor::kPeriodUnreadable},
        {"autoresponder add Info --activefrom '2026-12-08 00:00:00' --activeuntil "
         "'2026-12-01 00:00:00'",
         1, AutoresponderEditor::kPeriodEmpty},
        {"autoresponder add Info --replydays -1", 1, AutoresponderEditor::kReplyDaysNegative},
        {"autoresponder add '' --to a@x.example", 1, AutoresponderEditor::kNameMissing},
        {"autoresponder add Info --bogus 1", 2, "unknown option '--bogus'"},
        {"autoresponder remove Nobody", 1, "no autoresponder is called exactly Nobody"},
        {"list add \"my news\" --onsubscribeto join@x.example --subscribemessage-file '" +
             io.file("welcome.txt") + "'",
         0, "Record Saved (MYNEWS)"},
        {"list add mynews --onunsubscribeto join@x.example", 1,
         "both match the To address \"join@x.example\""},
        {"list add ''", 1, kListNameMissing},
        {"list add mynews --confirm yes", 1, "--confirm takes 0 or 1"},
        {"member mynews add ann@x.example", 0, "Import Added ann@x.example to list MYNEWS"},
        {"member mynews add 'ann@x.example, bob@x.example'", 1, kInvalidAddress},
        {"member mynews add not-an-address", 1, kInvalidAddress},
        {"member mynews release ann@x.example", 1, "ann@x.example is not held"},
        {"member nolist add bob@x.example", 1, "there is no mailing list nolist"},
        {"config txtPOP pops://pop.x.example", 0, "txtPOP=pops://pop.x.example"},
        {"config CHKleave 1", 0, "chkLEAVE=1"},
        {"config chkLEAVE yes", 1, "chkLEAVE is a check box"},
        {"config txtDIALUPWHEN 5", 0, "txtDIALUPWHEN=0"},
        {"config txtSMTP \"$(printf 'smtp.x.example\\nx')\"", 1, "a setting holds one line"},
        {"config txtPASSWORD secret", 1, "standard input only"},
        {"config nosuchkey 1", 1, "no setting is called nosuchkey"},
        {"config dailylimit -3", 1, "dailylimit is a whole number"},
        {"config method carrier-pigeon", 1, "method is password, microsoft, custom"},
        {"config AUTHSERV-ID ' mx.provider.example '", 0, "authserv-id=mx.provider.example"},
        {"config topmost-is-provider maybe", 1, "topmost-is-provider is 0 or 1"},
        {"antispam add '\twin money\t'", 0, "Added"},
        {"antispam add '\t\t'", 1, "an entry needs a From, Subject or To pattern"},
        {"antispam remove 'not there'", 1, "antispam.lst has no line not there"},
    };
    for (const auto& step : table) {
        const Ran r = vorel(step.args);
        EXPECT_EQ(r.status, step.status) << step.args << "\n" << r.out << r.err;
        EXPECT_NE((step.status == 0 ? r.out : r.err).find(step.said), std::string::npos)
            << step.args;
    }
    // As the windows store the same input: a space after the message at each save, the name of
    // the second save (the same name in other letters), the list name normalised.
    EXPECT_EQ(rows(db()),
              "INFO|info@x.example|||Re: you|Thanks,\r\nwe read it.\r\n  ||||2|0\n"
              "MYNEWS|1|join@x.example||Welcome\r\n||11\n  ann@x.example|0\n");
    EXPECT_EQ(cli.read("setup.ini"),
              "pops://pop.x.example\r\n\r\n\r\n\r\n1\r\n1\r\n\r\n\r\n\r\n0\r\n"
              "\r\n\r\n\r\n0\r\n0\r\n30\r\n0\r\n0\r\n");
    EXPECT_EQ(cli.read("antispam.lst"), "\twin money\t\r\n");

    // The password: from standard input into the secrets file, never shown.
    const Ran kept = vorel("config txtPASSWORD - --no-keyring", "s3cret\n");
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(FileSecretStore(cli.path()).readSecret("password"), "s3cret");
    EXPECT_TRUE(readSignInSettings(cli.path()).secretsInFolder);
    const Ran listed = vorel("config");
    EXPECT_EQ(listed.out.find("s3cret"), std::string::npos);
    EXPECT_NE(listed.out.find("\ntxtPASSWORD=\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\nsecrets_in_folder=1\n"), std::string::npos);
    // No keyring answers here and the folder does not keep secrets: refused.
    ASSERT_EQ(vorel("config secrets_in_folder 0").status, 0);
    const Ran refused = vorel("config txtPASSWORD -", "other\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("No desktop keyring answers"), std::string::npos) << refused.err;
    EXPECT_EQ(FileSecretStore(cli.path()).readSecret("password"), "s3cret");

    // The member commands beside import: held, listed, released, removed.
    const std::int64_t today = static_cast<std::int64_t>(std::time(nullptr)) / 86400;
    for (std::int64_t day = today - 2; day <= today; ++day) {
        db().recordBounce("ann@x.example", "MYNEWS", day);
    }
    EXPECT_EQ(vorel("member mynews list --held").out, "ann@x.example\n");
    EXPECT_EQ(vorel("member mynews release ANN@x.example").status, 0);
    EXPECT_EQ(vorel("member mynews list --held").out, "");
    EXPECT_EQ(vorel("member mynews remove ann@x.example").status, 0);
    EXPECT_EQ(vorel("member mynews list").out, "");
    EXPECT_EQ(vorel("list remove mynews").status, 0);
    EXPECT_EQ(vorel("autoresponder remove INFO").out, "Removed INFO\n");
    EXPECT_EQ(rows(db()), "");
}

}  // namespace
}  // namespace vorel
