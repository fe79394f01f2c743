// Whatever the umask, the files of a run are readable by their owner only:
// they hold passwords, people's addresses and their mail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "store/AntiSpam.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

TEST(Privacy, EveryFileOfARunIsTheOwnersAlone) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop;
    test::SmtpServer::Options refuse;
    refuse.refuseRecipients = {"stays@x.example"};  // a failed record and its message file
    test::SmtpServer smtp(refuse);
    const mode_t old = ::umask(0);
    test::RunFolder f;
    Autoresponder a;
    a.Name = "INFO";
    a.To = "info@me.example";
    a.msgfrom = "robot@me.example";
    a.message = "Thanks %email%";
    a.mailto = "stays@x.example";  // forwards: a message file
    f.db().addAutoresponder(a);
    writeAntiSpamLines(f.folder.path(), {"spam@x.example\t\t"});
    f.pointAt(pop);
    f.pointAt(smtp);
    f.s.chkDEBUG = "1";
    f.s.txtEMAILLOG = "owner@me.example";
    pop.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: s\n\nname=Ann\n");
    EXPECT_TRUE(f.run()) << f.host.logText();
    ::umask(old);

    int files = 0;
    for (const auto& entry : fs::directory_iterator(f.folder.path())) {
        struct stat st {};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << entry.path() << " is open to others";
        ++files;
    }
    // setup.ini, antispam.lst, data.mdb (its WAL files take its mode while
    // they exist), log.txt, debug.log, msgqueue.failed with the refused
    // record and the forwarded message file it names, the two lock files,
    // msgqueue.pending (emptied once the message's handling committed).
    EXPECT_EQ(files, 10);
}

}  // namespace
}  // namespace vorel
