// Whatever the umask, the files of a run are readable by their owner only:
// they hold passwords, people's addresses and their mail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/Clock.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/AntiSpam.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

TEST(Privacy, EveryFileOfARunIsTheOwnersAlone) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "Dovecot's mail user needs root to set up";
    }
    test::PopServer pop;
    test::SmtpServer::Options refuse;
    refuse.refuseRecipients = {"stays@x.example"};  // a failed record and its message file
    test::SmtpServer smtp(refuse);
    const mode_t old = ::umask(0);
    test::TempFolder folder;
    Database::createIfMissing(folder.file("data.mdb"));
    Database::upgradeSchema(folder.file("data.mdb"));
    {
        Database db = Database::open(folder.file("data.mdb"));
        Autoresponder a;
        a.Name = "INFO";
        a.To = "info@me.example";
        a.msgfrom = "robot@me.example";
        a.msgsubject = "Re";
        a.message = "Thanks %email%";
        a.mailto = "stays@x.example";  // forwards: a message file
        db.addAutoresponder(a);
    }
    writeAntiSpamLines(folder.path(), {"spam@x.example\t\t"});
    Settings s;
    s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    s.txtTIMEOUT = "5";
    s.txtRUNPROGRAM = "";
    s.chkDEBUG = "1";
    s.txtEMAILLOG = "owner@me.example";
    writeSettings(folder.path(), s);
    pop.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: s\n\nname=Ann\n");

    test::RecordingHost host;
    test::FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    CurlMailComponent mail;
    MailRun run(folder.path(), host, mail, clock);
    EXPECT_TRUE(run.doRunMail()) << host.logText();
    ::umask(old);

    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
        struct stat st {};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << entry.path() << " is open to others";
        ++files;
    }
    // setup.ini, antispam.lst, data.mdb (its WAL files take its mode while
    // they exist), log.txt, debug.log, msgqueue.failed with the refused
    // record and the forwarded message file it names, the two lock files.
    EXPECT_EQ(files, 9);
}

}  // namespace
}  // namespace vorel
