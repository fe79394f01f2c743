// vorel try: the run's handling of one saved message, reported and never
// carried out. The program runs as a user starts it; the folder's files are
// compared byte for byte afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "store/AntiSpam.h"
#include "store/Database.h"
#include "support/TempFolder.h"

namespace {

using vorel::Autoresponder;
using vorel::Database;
using vorel::test::TempFolder;

struct Result {
    int status = -1;
    std::string out;
};

Result runTry(const std::string& folder, const std::string& file) {
    const std::string cmd =
        std::string(VOREL_BINARY) + " try '" + file + "' --folder '" + folder + "' 2>&1";
    Result r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        return r;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        r.out.append(buf, n);
    }
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Every file of the folder with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        files[e.path().filename().string()] = vorel::test::readFile(e.path().string());
    }
    return files;
}

struct TryTest : ::testing::Test {
    TempFolder app;
    TempFolder mailFolder;

    TryTest() {
        Database::createIfMissing(app.file("data.mdb"));
        Database::upgradeSchema(app.file("data.mdb"));
        // A queue and a log from earlier runs, which must stay as they are.
        app.write("msgqueue.txt", "earlier@x.example\r\n\xff\r\n");
        app.write("log.txt", "05/12/2026 10:00:00 Mail Run Complete\r\n");
    }
    void addAutoresponder(const std::string& name, const std::string& to,
                          const std::string& subject, const std::string& message,
                          const std::string& mailto = "") {
        Autoresponder a;
        a.Name = name;
        a.To = to;
        a.Subject = subject;
        a.msgfrom = name + "@me.example";
        a.msgsubject = "Re: " + name;
        a.message = message;
        a.mailto = mailto;
        a.Counter = 5;
        Database::open(app.file("data.mdb")).addAutoresponder(a);
    }
    std::string message(const std::string& raw) {
        mailFolder.write("message.eml", raw);
        return mailFolder.file("message.eml");
    }
};

const char kBase64Message[] =
    "From: Reader <reader@x.example>\r\n"
    "To: info@me.example\r\n"
    "Subject: Price list please\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    // "Hello\r\n%vorelcode%\r\nname=John\r\ntelephone=0123\r\n"
    "SGVsbG8NCiV2b3JlbGNvZGUlDQpuYW1lPUpvaG4NCnRlbGVwaG9uZT0wMTIzDQo=\r\n";

TEST_F(TryTest, TwoMatchingAutorespondersAreShownMergedAndNothingChanges) {
    addAutoresponder("Info", "info@me.example", "x", "Thanks, %email%. ");
    addAutoresponder("Prices", "prices@me.example", "Price list please",
                     "Dear %name%, we will call %telephone%. ", "boss@me.example");
    addAutoresponder("Other", "other@me.example", "nothing", "never ");
    const auto before = snapshot(app.path());

    const Result r = runTry(app.path(), message(kBase64Message));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Info: matches (To)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Prices: matches (Subject)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Other: does not match: To differs (\"info@me.example\" is not "
                         "\"other@me.example\"), Subject differs"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Thanks, reader@x.example. "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Dear John, we will call 0123. "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Forward (the whole message)\n    To: boss@me.example"), std::string::npos)
        << r.out;

    EXPECT_EQ(snapshot(app.path()), before);
    std::vector<Autoresponder> rows = Database::open(app.file("data.mdb")).autoresponders();
    for (const Autoresponder& a : rows) {
        EXPECT_EQ(a.Counter, 5) << a.Name;
    }
}

TEST_F(TryTest, AMessageTheAntiSpamListNamesIsReportedAsDeleted) {
    addAutoresponder("Info", "info@me.example", "x", "Thanks ");
    app.write("antispam.lst", vorel::composeAntiSpamLine("reader@x.example", "", "") + "\r\n");
    const auto before = snapshot(app.path());
    const Result r = runTry(app.path(), message(kBase64Message));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Anti-spam: the message would be DELETED"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Reply"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(app.path()), before);
}

TEST_F(TryTest, APostToAListShowsTheMembersItWouldReach) {
    {
        Database db = Database::open(app.file("data.mdb"));
        vorel::MailingList l;
        l.Name = "NEWS";
        l.sendtolistfrom = "news@me.example";
        db.addList(l);
        for (const char* m : {"reader@x.example", "ann@y.example", "bob@z.example"}) {
            db.addMember(vorel::Member{0, "NEWS", m, ""});
        }
    }
    const auto before = snapshot(app.path());
    const Result r =
        runTry(app.path(), message("From: Reader <reader@x.example>\r\nTo: news@me.example\r\n"
                                   "Subject: Hello \x1b]0;owned\x07all\r\n\r\nNews.\r\n"));
    EXPECT_EQ(r.status, 0) << r.out;
    // A subject cannot drive the terminal that shows the report.
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Email Address reader@x.example Sent Message into NEWS"),
              std::string::npos)
        << r.out;
    for (const char* m : {"reader@x.example", "ann@y.example", "bob@z.example"}) {
        EXPECT_NE(r.out.find(std::string("List copy\n    To: ") + m), std::string::npos) << m;
    }
    EXPECT_EQ(snapshot(app.path()), before);
}

TEST_F(TryTest, AnUnreadableFileEndsWithStatus1AndAClearMessage) {
    const Result r = runTry(app.path(), mailFolder.file("missing.eml"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot read the message file"), std::string::npos) << r.out;
    const Result folder = runTry(app.path(), mailFolder.path());
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.out.find("is a folder"), std::string::npos) << folder.out;
}

}  // namespace
