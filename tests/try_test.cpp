// vorel init and vorel try as a user starts them. A try reports the run's
// handling of one saved message and carries none of it out: the folder's
// files are compared byte for byte afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "store/AntiSpam.h"
#include "store/Database.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

struct TryTest : ::testing::Test {
    test::TempFolder app, io;

    TryTest() {
        Database::createIfMissing(app.file("data.mdb"));
        Database::upgradeSchema(app.file("data.mdb"));
        // A queue and a log from earlier runs, which must stay as they are.
        app.write("msgqueue.txt", "earlier@x.example\r\n\xff\r\n");
        app.write("log.txt", "05/12/2026 10:00:00 Mail Run Complete\r\n");
    }
    // Exit status, then standard output and errors.
    std::string vorel(const std::string& args) const {
        const int status = std::system(("VOREL_FOLDER= '" + std::string(VOREL_BINARY) + "' " +
                                        args + " >'" + io.file("out") + "' 2>&1")
                                           .c_str());
        return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + io.read("out");
    }
    std::string tryMessage(const std::string& raw) const {
        io.write("m.eml", raw);
        return vorel("try '" + io.file("m.eml") + "' --folder '" + app.path() + "'");
    }
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(app.path())) {
            files[e.path().filename().string()] = test::readFile(e.path().string());
        }
        return files;
    }
};

TEST_F(TryTest, ReportsMatchesMergesSpamAndListCopiesAndChangesNothing) {
    {
        Database db = Database::open(app.file("data.mdb"));
        const auto add = [&](const char* name, const char* to, const char* subject,
                             const char* message, const char* mailto) {
            db.addAutoresponder({0, name, to, subject, "r@me.example", "", message, mailto, 5});
        };
        add("Info", "info@me.example", "x", "Thanks, %email%. ", "");
        add("Prices", "prices@me.example", "Price list please \x1b]0;owned\x07",
            "Dear %name%, call %telephone%. ", "boss@me.example");
        add("Other", "other@me.example", "nothing", "never ", "");
        MailingList l;
        l.Name = "NEWS";
        l.sendtolistfrom = "info@me.example";
        db.addList(l);
        for (const char* m : {"reader@x.example", "ann@y.example"}) {
            db.addMember(Member{0, "NEWS", m, ""});
        }
    }
    const auto before = snapshot();
    const std::string base64 =  // "Hello\r\n%vorelcode%\r\nname=John\r\ntelephone=0123\r\n"
        "From: Reader <reader@x.example>\r\nTo: info@me.example\r\n"
        "Subject: Price list please \x1b]0;owned\x07\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "SGVsbG8NCiV2b3JlbGNvZGUlDQpuYW1lPUpvaG4NCnRlbGVwaG9uZT0wMTIzDQo=\r\n";
    std::string out = tryMessage(base64);
    for (const char* part :
         {"0 ", "Info: matches (To)", "Prices: matches (Subject)", "Thanks, reader@x.example. ",
          "Dear John, call 0123. ",
          "Other: does not match: To differs (\"info@me.example\" is not \"other@me.example\"), "
          "Subject differs",
          "Forward (the whole message)\n    To: boss@me.example",
          "Email Address reader@x.example Sent Message into NEWS",
          "List copy\n    To: reader@x.example", "List copy\n    To: ann@y.example"}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
    }
    // A subject cannot drive the terminal that shows the report.
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;

    app.write("antispam.lst", composeAntiSpamLine("reader@x.example", "", "") + "\r\n");
    out = tryMessage(base64);
    EXPECT_NE(out.find("Anti-spam: the message would be DELETED"), std::string::npos) << out;
    EXPECT_EQ(out.find("Reply"), std::string::npos) << out;
    std::filesystem::remove(app.file("antispam.lst"));
    EXPECT_EQ(snapshot(), before);
    for (const Autoresponder& a : Database::open(app.file("data.mdb")).autoresponders()) {
        EXPECT_EQ(a.Counter, 5) << a.Name;
    }
    out = vorel("try '" + io.file("missing.eml") + "' --folder '" + app.path() + "'");
    EXPECT_EQ(out.rfind("1 ", 0), 0u);
    EXPECT_NE(out.find("cannot read the message file"), std::string::npos) << out;
    out = vorel("try '" + io.path() + "' --folder '" + app.path() + "'");
    EXPECT_EQ(out.rfind("1 ", 0), 0u);
    EXPECT_NE(out.find("is a folder"), std::string::npos) << out;
}

TEST_F(TryTest, InitCreatesTheDatabaseKeepsOneAndRefusesOtherFiles) {
    const std::string folder = io.file("x");
    EXPECT_EQ(vorel("init --folder '" + folder + "'"), "0 " + folder + "\n");
    Database db = Database::open(folder + "/data.mdb");
    EXPECT_TRUE(db.autoresponders().empty() && db.lists().empty());
    db.addMember({0, "L", "a@b", "data"});  // the Data field is in place
    EXPECT_EQ(vorel("init --folder '" + folder + "'"), "0 " + folder + "\n");
    EXPECT_EQ(Database::open(folder + "/data.mdb").findMember("L", "A@B")->Data, "data");

    const std::string junk("Standard Jet DB\0\x01\x02 not SQLite", 29);
    io.write("data.mdb", junk);
    const std::string out = vorel("init --folder '" + io.path() + "'");
    EXPECT_EQ(out.rfind("1 ", 0), 0u);
    EXPECT_NE(out.find(io.file("data.mdb")), std::string::npos) << out;
    EXPECT_EQ(io.read("data.mdb"), junk);
}

}  // namespace
}  // namespace vorel
