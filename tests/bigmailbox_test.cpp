// A mailbox kept on the server for years: more messages than a 16-bit count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/Clock.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

TEST(BigMailbox, EveryMessagePastThe16BitCountIsRead) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "Dovecot's mail user needs root to set up";
    }
    constexpr long kMessages = 32800;
    constexpr long kAnswered = 32790;
    test::PopServer pop;
    test::SmtpServer smtp;
    for (long i = 1; i <= kMessages; ++i) {
        const std::string to = i == kAnswered ? "info@me.example" : "other@me.example";
        pop.addMessage("From: p" + std::to_string(i) + "@x.example\nTo: " + to +
                       "\nSubject: s\n\nx\n");
    }

    test::TempFolder folder;
    Database::createIfMissing(folder.file("data.mdb"));
    Database::upgradeSchema(folder.file("data.mdb"));
    Autoresponder a;
    a.Name = "INFO";
    a.To = "info@me.example";
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Re";
    a.message = "Thanks";
    Database::open(folder.file("data.mdb")).addAutoresponder(a);
    Settings s;
    s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    s.txtTIMEOUT = "30";
    s.txtRUNPROGRAM = "";
    writeSettings(folder.path(), s);

    test::RecordingHost host;
    test::FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    CurlMailComponent mail;
    MailRun run(folder.path(), host, mail, clock);
    ASSERT_TRUE(run.doRunMail()) << host.logText();
    EXPECT_EQ(run.state().counters.processed, kMessages);
    EXPECT_TRUE(host.hasLogEntry("Autoresponder INFO Message Sent to p32790@x.example"))
        << host.logText();
    EXPECT_EQ(host.statuses().back(), "Mail Run Complete");
    bool sawLast = false;
    for (const auto& status : host.statuses()) {
        sawLast = sawLast || status == "Reading Header 32800 of 32800";
    }
    EXPECT_TRUE(sawLast);
    ASSERT_EQ(smtp.received().size(), 1u);
    EXPECT_EQ(smtp.received()[0].rcptTo, std::vector<std::string>{"p32790@x.example"});
}

}  // namespace
}  // namespace vorel
