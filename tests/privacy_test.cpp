// Whatever the umask, a run's files are the owner's alone and none holds the POP3 password.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "store/AntiSpam.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

TEST(Privacy, EveryFileOfARunIsTheOwnersAloneAndNoneHoldsThePassword) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop;
    // A refused forward: a failed record and the message file it names.
    test::SmtpServer smtp({pop.user(), pop.password(), {"stays@x.example"}, {}});
    const mode_t old = ::umask(0);
    test::RunFolder f;
    f.addAutoresponder("info@me.example");
    Autoresponder a = *f.db().findAutoresponder("INFO");
    a.mailto = "stays@x.example";
    f.db().updateAutoresponder(a);
    writeAntiSpamLines(f.folder.path(), {"spam@x.example\t\t"});
    f.pointAt(pop);
    f.pointAt(smtp);
    f.s.chkESMTP = f.s.chkDEBUG = "1";
    f.s.txtEMAILLOG = "owner@me.example";
    pop.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: s\n\nname=Ann\n");
    EXPECT_TRUE(f.run()) << f.host.logText();
    ::umask(old);
    EXPECT_EQ(smtp.received().size(), 2u);  // the reply and the log

    // setup.ini, antispam.lst, data.mdb (and WAL files while they exist), log.txt,
    // debug.log, msgqueue.failed and its message file, two locks, msgqueue.pending.
    int files = 0;
    std::string everything;  // every file but setup.ini, where the user keeps it
    for (const auto& entry : std::filesystem::directory_iterator(f.folder.path())) {
        struct stat st {};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << entry.path() << " is open to others";
        ++files;
        if (entry.path().filename() != "setup.ini") {
            everything += test::readFile(entry.path().string());
        }
    }
    EXPECT_EQ(files, 10);
    // Both logins with their answers masked.
    const std::string d = f.folder.read("debug.log");
    EXPECT_NE(d.find("AUTH PLAIN ********\r\n+OK Logged in."), std::string::npos) << d;
    EXPECT_NE(d.find("\r\n********\r\n235 "), std::string::npos) << d;
    for (const auto& line : f.host.allDebugLines()) {
        everything += line + "\n";
    }
    const std::string& u = pop.user();
    const std::string& p = pop.password();
    EXPECT_EQ(everything.find(p), std::string::npos);
    for (const std::string& secret : {p, '\0' + u + '\0' + p, u + '\0' + u + '\0' + p}) {
        gchar* coded =
            g_base64_encode(reinterpret_cast<const guchar*>(secret.data()), secret.size());
        EXPECT_EQ(everything.find(coded), std::string::npos) << coded;
        g_free(coded);
    }
}

}  // namespace
}  // namespace vorel
