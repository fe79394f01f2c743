#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "run/Clock.h"
#include "run/CurlMailComponent.h"
#include "run/DialUp.h"
#include "run/MailRun.h"
#include "run/Reporter.h"
#include "run/RunState.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "store/Settings.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

extern char** environ;

namespace vorel {
namespace {

namespace fs = std::filesystem;
using test::FakeMailComponent;
using test::PopServer;
using test::RecordingHost;
using test::SmtpServer;
using test::TempFolder;

using test::FixedClock;

std::string message(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& body = "Hello.\n", const std::string& extra = "") {
    std::string m = "From: " + from + "\nTo: " + to + "\n";
    if (!subject.empty()) {
        m += "Subject: " + subject + "\n";
    }
    return m + extra + "Message-ID: <" +
           std::to_string(std::hash<std::string>{}(from + to + subject)) + "@test>\n\n" + body;
}

std::string strip(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

std::vector<QueueRecord> queued(const TempFolder& folder) {
    std::vector<QueueRecord> out;
    if (!folder.exists(kQueueFile)) {
        return out;
    }
    QueueReader reader(folder.file(kQueueFile));
    while (!reader.atEnd()) {
        QueueRecord r = reader.readRecord();
        out.push_back({strip(r.to), strip(r.from), strip(r.subject), strip(r.body)});
    }
    return out;
}

int closedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// An application folder with setup.ini and an empty data.mdb.
struct RunFixture : ::testing::Test {
    TempFolder folder;
    RecordingHost host;
    FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    Settings s;

    RunFixture() {
        Database::createIfMissing(folder.file("data.mdb"));
        Database::upgradeSchema(folder.file("data.mdb"));
        s.txtRUNPROGRAM = "";
        s.txtTIMEOUT = "5";
        s.chkLOG = "1";
    }
    Database db() { return Database::open(folder.file("data.mdb")); }
    void pointAt(const PopServer& pop) {
        s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
        s.txtUSERID = pop.user();
        s.txtPASSWORD = pop.password();
    }
    void pointAt(const SmtpServer& smtp) {
        s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    }
    bool run(MailComponent& mail, std::function<void(MailRun&)> prepare = {}) {
        writeSettings(folder.path(), s);
        MailRun r(folder.path(), host, mail, clock);
        if (prepare) {
            prepare(r);
        }
        bool ok = r.doRunMail();
        state = r.state().counters;
        return ok;
    }
    bool run() {
        CurlMailComponent mail;
        return run(mail);
    }
    std::string log() const { return folder.exists("log.txt") ? folder.read("log.txt") : ""; }
    RunCounters state;
};

void addAutoresponder(Database& db, const std::string& name, const std::string& to,
                      const std::string& message) {
    Autoresponder a;
    a.Name = name;
    a.To = to;
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Re: your mail";
    a.message = message;
    db.addAutoresponder(a);
}

// --- with the scripted component ----------------------------------------------

TEST_F(RunFixture, MissingSetupFailsEveryTry) {
    FakeMailComponent mail;
    MailRun r(folder.path(), host, mail, clock);
    EXPECT_FALSE(r.doRunMail());
    EXPECT_EQ(host.messages().size(), 10u);
    EXPECT_EQ(host.messages()[0], "Please set up your email system first!, using SETUP");
    EXPECT_TRUE(
        host.hasLogEntry("An Error Occurred Processing Mail, Starting again....Try 10 of 10"));
    EXPECT_EQ(host.logEntries().back(),
              "Vorel did not process your emails properly, try running it again later!");
    EXPECT_EQ(mail.connects(), 0);
}

class HeaderFailures : public RunFixture, public ::testing::WithParamInterface<int> {};

TEST_P(HeaderFailures, ThreeAreSkippedTheFourthEndsTheTry) {
    FakeMailComponent mail;
    for (int i = 1; i <= 5; ++i) {
        mail.addMessage(message("a@x.example", "b@y.example", "s" + std::to_string(i)));
    }
    // Message 3 reads fine: its count survives the failed tries.
    const std::vector<long> failing = {1, 2, 4, 5};
    for (int k = 0; k < GetParam(); ++k) {
        mail.failForMessage("fetchHeader", failing[k], 10057);
    }
    bool ended = run(mail);
    const bool fourth = GetParam() > 3;
    EXPECT_EQ(ended, !fourth);
    EXPECT_EQ(host.countLogContaining("To many failiures reading headers in this session!"),
              fourth ? 10 : 0);
    EXPECT_EQ(host.countLogContaining("Skipping Message 4 Unable to read header."),
              fourth ? 10 : 1);
    EXPECT_EQ(state.processed, fourth ? 10 : 2);
}

INSTANTIATE_TEST_SUITE_P(Counts, HeaderFailures, ::testing::Values(3, 4));

TEST_F(RunFixture, MessageCountBeyondSixteenBitsFailsTheTry) {
    FakeMailComponent mail;
    for (int i = 0; i < 32768; ++i) {
        mail.addMessage("Subject: x\n\n.\n");
    }
    EXPECT_FALSE(run(mail));
    EXPECT_EQ(
        host.countLogContaining("Connect to Host Failed Please check your email host settings "),
        10);
    EXPECT_EQ(mail.callCount("selectMessage"), 0);
}

TEST_F(RunFixture, StepsOfOneMessageInOrder) {
    FakeMailComponent mail;
    mail.addMessage(message("Ann <ann@x.example>", "Me <me@y.example>", ""));
    s.txtTIMEOUT = "";
    EXPECT_TRUE(run(mail));
    const auto& st = host.statuses();
    auto at = [&](const std::string& t) { return std::find(st.begin(), st.end(), t) - st.begin(); };
    EXPECT_LT(at("Checking Log"), at("Connecting to POP server"));
    EXPECT_LT(at("Connected..."), at("Reading Header 1 of 1"));
    EXPECT_LT(at("Reading Header 1 of 1"),
              at("Message To: me@y.example From: ann@x.example Subject: (No Subject)"));
    EXPECT_LT(at("Done .."), at("Mail Run Complete"));
    EXPECT_NE(at("Mail Run Complete"), static_cast<long>(st.size()));
    EXPECT_TRUE(
        host.hasLogEntry("Testing To: me@y.example From: ann@x.example Subject: (No Subject)"));
    EXPECT_TRUE(host.hasLogEntry("06-12-2026 08:05:07 Mail Run Started"));
    EXPECT_EQ(host.logEntries().back(), "06-12-2026 08:05:07 Mail Run Complete");
    // The screen-only line stays out of log.txt; the timeout falls back to 30
    // for the connection, then 300 for the session.
    EXPECT_EQ(log().find("Testing To:"), std::string::npos);
    EXPECT_NE(log().find("06/12/2026 08:05:07 Process complete... Starting message send\r\n"),
              std::string::npos);
    EXPECT_EQ(mail.timeout(), 300);
}

TEST_F(RunFixture, EveryMatchingAntiSpamEntryLogsDeletesAndCounts) {
    FakeMailComponent mail;
    folder.write("antispam.lst", "spam@x.example\r\n\tOffer\r\nother@x.example\r\n");
    {
        Database d = db();
        addAutoresponder(d, "OFFER", "me@y.example", "Thanks");
    }
    mail.addMessage(message("Spam <spam@x.example>", "me@y.example", "Offer"));  // two entries
    mail.addMessage(message("other@x.example", "me@y.example", "hello"));        // one entry
    mail.addMessage(message("ann@x.example", "me@y.example", "hello"));          // none
    EXPECT_TRUE(run(mail));
    EXPECT_EQ(state.antiSpam, 3);
    EXPECT_EQ(host.countLogContaining(
                  "Message from:spam@x.example Subject: Offer deleted anti-spam filter"),
              2);
    EXPECT_EQ(mail.callCount("deleteMessage"), 3 + 1);  // and the answered message 3
    EXPECT_EQ(mail.deletedMessages(), (std::vector<long>{1, 2, 3}));
    // Spam is not handed to the autoresponders; the run goes on after the repeat.
    EXPECT_EQ(state.autoresponders, 1);
    EXPECT_EQ(host.countLogContaining("An Error Occurred"), 0);
}

struct DialCase {
    const char* name;
    int status;
    std::vector<std::string> expectLog;
    bool ended;
};

class DialUpStep : public RunFixture, public ::testing::WithParamInterface<DialCase> {};

TEST_P(DialUpStep, DialsTheEntryAndHangsUp) {
    FakeMailComponent mail;
    s.chkAUTODIAL = "1";
    s.cmbDIALUP = "My ISP";
    s.chkAUTODISCONNECT = "1";
    std::vector<std::vector<std::string>> calls;
    bool ended = run(mail, [&](MailRun& r) {
        r.dialUp() = DialUp("/usr/bin/nmcli", [&](const std::vector<std::string>& argv) {
            calls.push_back(argv);
            return ProgramResult{argv[2] == "up" ? GetParam().status : 0, "no carrier"};
        });
    });
    EXPECT_EQ(ended, GetParam().ended);
    for (const auto& l : GetParam().expectLog) {
        EXPECT_TRUE(host.hasLogEntry(l)) << l << "\n" << host.logText();
    }
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], (std::vector<std::string>{"/usr/bin/nmcli", "connection", "up", "My ISP"}));
    EXPECT_EQ(calls.back()[2], GetParam().ended ? "down" : "up");
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DialUpStep,
    ::testing::Values(
        DialCase{"Connects", 0, {"Beginning Connect...", "Connected"}, true},
        DialCase{"Fails", 4, {"Beginning Connect...", "Connect Failed 4 no carrier"}, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DialUpProgram, ExitStatusAndErrorOutputOfTheProgram) {
    ProgramResult r = RunProgramAndWait({"sh", "-c", "echo out; echo no carrier >&2; exit 4"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.errorOutput, "no carrier");
    EXPECT_EQ(RunProgramAndWait({"/nonexistent/nmcli"}).status, -1);
}

// --- against the loopback Dovecot -----------------------------------------------

TEST_F(RunFixture, AntiSpamAutoresponderAndAutomaticMessages) {
    PopServer pop;
    pointAt(pop);
    s.txtSMTP = "127.0.0.1:" + std::to_string(closedPort());  // sends fail and stay queued
    folder.write("antispam.lst", "SPAM@example.com\r\n\t(no subject)\t\r\n");
    {
        Database d = db();
        addAutoresponder(d, "INFO", "info@me.example", "Hello %name%, %email% on %date%");
    }
    pop.addMessage(message("Spammer <Spam@Example.COM>", "me@me.example", "hi"));  // 1 spam
    pop.addMessage(message("x@x.example", "me@me.example", ""));                   // 2 spam
    pop.addMessage(message("y@x.example", "<>", "empty to"));                      // 3 twice
    pop.addMessage(message("Bob <bob@x.example>", "Info <INFO@me.example>", "q",
                           "Hi\n%vorelcode%\nname=Bob\n"));                           // 4 reply
    pop.addMessage(message("MAILER-DAEMON@x.example", "info@me.example", "bounce"));  // 5 auto
    pop.addMessage(message("z@x.example", "other@me.example", "nothing"));            // 6 none

    EXPECT_TRUE(run());
    EXPECT_EQ(state.processed, 6);
    EXPECT_EQ(state.antiSpam, 4);  // the empty To matches both entries
    EXPECT_EQ(state.autoresponders, 1);
    EXPECT_TRUE(
        host.hasLogEntry("Message from:Spam@Example.COM Subject: hi deleted anti-spam filter"));
    EXPECT_TRUE(host.hasLogEntry(
        "Message from:x@x.example Subject: (No Subject) deleted anti-spam filter"));
    EXPECT_EQ(host.countLogContaining("Subject: empty to deleted anti-spam filter"), 2);
    EXPECT_EQ(host.countLogContaining("An Error Occurred"), 0);
    EXPECT_TRUE(host.hasLogEntry("Autoresponder INFO Message Sent to bob@x.example"));
    EXPECT_NE(log().find("Anti-Spam Filter :4"), std::string::npos) << log();

    auto q = queued(folder);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].to, "bob@x.example");
    EXPECT_EQ(q[0].from, "robot@me.example");
    EXPECT_EQ(q[0].body, "Hello Bob, bob@x.example on 06 December 2026");

    auto left = pop.messages();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_NE(left[0].find("bounce"), std::string::npos);
    EXPECT_NE(left[1].find("nothing"), std::string::npos);
}

TEST_F(RunFixture, ListRequestsUpdateMembersAndQueueMail) {
    PopServer pop;
    pointAt(pop);
    {
        Database d = db();
        MailingList l;
        l.Name = "NEWS";
        l.onsubscribeto = "join@me.example";
        l.onunsubscribeto = "leave@me.example";
        l.sendtolistfrom = "news@me.example";
        l.subscribefrom = l.unsubscribefrom = "news@me.example";
        l.subscribesubject = "Welcome";
        l.subscribemessage = "Welcome %email%";
        l.unsubscribesubject = "Bye";
        l.unsubscribemessage = "Goodbye";
        d.addList(l);
        d.addMember(Member{0, "NEWS", "old@x.example", ""});
        d.addMember(Member{0, "NEWS", "poster@x.example", ""});
    }
    pop.addMessage(message("New <new@x.example>", "join@me.example", "please"));
    pop.addMessage(message("old@x.example", "leave@me.example", "bye"));
    pop.addMessage(message("poster@x.example", "news@me.example", "News!", "Big news.\n"));

    EXPECT_TRUE(run());
    EXPECT_EQ(state.subscriptions, 1);
    EXPECT_EQ(state.unsubscriptions, 1);
    std::vector<std::string> members;
    for (const Member& m : db().members("NEWS")) {
        members.push_back(m.Email);
    }
    EXPECT_EQ(members, (std::vector<std::string>{"poster@x.example", "new@x.example"}));
    std::vector<std::string> to;
    for (const auto& r : queued(folder)) {
        to.push_back(r.to + " " + r.subject);
    }
    EXPECT_EQ(to, (std::vector<std::string>{"new@x.example Welcome", "old@x.example Bye",
                                            "poster@x.example News!", "new@x.example News!"}));
    EXPECT_EQ(pop.messageCount(), 0u);
}

class LeaveOnServer : public RunFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(LeaveOnServer, DecidesWhetherAnsweredMailStays) {
    PopServer pop;
    pointAt(pop);
    s.chkLEAVE = GetParam();
    folder.write("antispam.lst", "spam@x.example\r\n");
    {
        Database d = db();
        addAutoresponder(d, "INFO", "info@me.example", "Thanks");
    }
    pop.addMessage(message("a@x.example", "info@me.example", "answered"));
    pop.addMessage(message("spam@x.example", "me@me.example", "spam"));
    pop.addMessage(message("c@x.example", "me@me.example", "unmatched"));
    EXPECT_TRUE(run());
    std::string left;
    for (const auto& m : pop.messages()) {
        left += m;
    }
    EXPECT_EQ(left.find("Subject: answered") != std::string::npos, std::string(GetParam()) != "0");
    EXPECT_EQ(left.find("Subject: spam"), std::string::npos);  // spam goes either way
    EXPECT_NE(left.find("Subject: unmatched"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Values, LeaveOnServer, ::testing::Values("0", "1"));

TEST_F(RunFixture, CancelWhileReadingSendsNothing) {
    PopServer pop;
    SmtpServer smtp;
    pointAt(pop);
    pointAt(smtp);
    {
        Database d = db();
        addAutoresponder(d, "INFO", "info@me.example", "Thanks");
    }
    for (int i = 1; i <= 3; ++i) {
        pop.addMessage(message("a" + std::to_string(i) + "@x.example", "info@me.example", "m"));
    }
    CurlMailComponent mail;
    MailRun* current = nullptr;
    host.setOnYield([&] {
        if (current && host.hasLogEntry("Autoresponder INFO Message Sent to a1@x.example")) {
            current->requestCancel();
        }
    });
    EXPECT_TRUE(run(mail, [&](MailRun& r) { current = &r; }));
    EXPECT_TRUE(host.hasLogEntry("Mail Run Cancelled by User"));
    EXPECT_EQ(host.logEntries().back(), "06-12-2026 08:05:07 Mail Run Complete");
    EXPECT_FALSE(host.hasLogEntry("Process complete... Starting message send"));
    EXPECT_EQ(state.processed, 2);  // the message at hand is finished
    EXPECT_EQ(queued(folder).size(), 2u);
    EXPECT_TRUE(smtp.received().empty());
    EXPECT_EQ(pop.messageCount(), 1u);
}

struct FailCase {
    const char* name;
    bool serverUp;
};

class FailedTries : public RunFixture, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FailedTries, TenTriesThenGiveUp) {
    std::unique_ptr<PopServer> pop;
    if (GetParam().serverUp) {
        pop = std::make_unique<PopServer>();
        pop->addMessage(message("a@x.example", "b@x.example", "kept"));
        pointAt(*pop);
        s.txtPASSWORD = "wrong-password";
    } else {
        s.txtPOP = "127.0.0.1:" + std::to_string(closedPort());
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(run());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(
        host.countLogContaining("Connect to Host Failed Please check your email host settings "),
        10);
    for (int i = 1; i <= 10; ++i) {
        EXPECT_TRUE(host.hasLogEntry("An Error Occurred Processing Mail, Starting again....Try " +
                                     std::to_string(i) + " of 10"));
    }
    EXPECT_EQ(host.logEntries().back(),
              "Vorel did not process your emails properly, try running it again later!");
    if (pop) {
        EXPECT_EQ(pop->messageCount(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FailedTries,
                         ::testing::Values(FailCase{"ServerDown", false},
                                           FailCase{"WrongPassword", true}),
                         [](const auto& p) { return std::string(p.param.name); });

std::string base64(const std::string& in) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned n = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            n |= static_cast<unsigned char>(in[i + 2]);
        out += a[(n >> 18) & 63];
        out += a[(n >> 12) & 63];
        out += i + 1 < in.size() ? a[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? a[n & 63] : '=';
    }
    return out;
}

class DebugMode : public RunFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(DebugMode, TranscriptNeverHoldsThePassword) {
    PopServer pop;
    SmtpServer smtp(SmtpServer::Options{pop.user(), pop.password(), {}, {}});
    pointAt(pop);
    pointAt(smtp);
    s.chkESMTP = "1";  // SMTP AUTH with the POP3 credentials
    s.chkDEBUG = GetParam();
    {
        Database d = db();
        addAutoresponder(d, "INFO", "info@me.example", "Thanks");
    }
    pop.addMessage(message("a@x.example", "info@me.example", "m"));
    EXPECT_TRUE(run());
    ASSERT_EQ(smtp.received().size(), 1u);

    const bool on = std::string(GetParam()) == "1";
    ASSERT_EQ(folder.exists("debug.log"), on);
    if (on) {
        std::string d = folder.read("debug.log");
        EXPECT_NE(d.find("+OK"), std::string::npos);
        // Both logins, POP3 and SMTP, with their answers masked.
        EXPECT_NE(d.find("\r\n********\r\n+OK Logged in."), std::string::npos) << d;
        EXPECT_NE(d.find("\r\n********\r\n235 "), std::string::npos) << d;
    }
    const std::string& u = pop.user();
    const std::string& p = pop.password();
    const std::vector<std::string> secrets = {
        p, base64(p), base64(std::string(1, '\0') + u + '\0' + p), base64(u + '\0' + u + '\0' + p)};
    for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
        if (entry.path().filename() == "setup.ini") {
            continue;  // where the user keeps it
        }
        std::string content = test::readFile(entry.path().string());
        for (const auto& secret : secrets) {
            EXPECT_EQ(content.find(secret), std::string::npos) << entry.path() << ": " << secret;
        }
    }
    for (const auto& line : host.allDebugLines()) {
        for (const auto& secret : secrets) {
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, DebugMode, ::testing::Values("0", "1"));

// --- vorel run ------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child startVorel(const std::vector<std::string>& args) {
    std::vector<std::string> all = {VOREL_BINARY, "run"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    Child c;
    EXPECT_EQ(posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    c.out = fds[0];
    return c;
}

// Reads the child's output until `until` appears (or to the end).
std::string readOutput(int fd, const std::string& until = "") {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((until.empty() || out.find(until) == std::string::npos) &&
           (n = ::read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

int finish(Child& c, std::string& out) {
    out += readOutput(c.out);
    ::close(c.out);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RunFixture, CommandPrintsTheLogAndTellsHowTheRunEnded) {
    std::string out;
    Child usage = startVorel({"--folder", folder.path(), "--bogus"});
    EXPECT_EQ(finish(usage, out), 2);

    s.txtPOP = "127.0.0.1:" + std::to_string(closedPort());
    writeSettings(folder.path(), s);
    out.clear();
    Child failing = startVorel({"--folder", folder.path()});
    EXPECT_EQ(finish(failing, out), 1);
    EXPECT_NE(out.find("Try 10 of 10\nVorel did not process your emails properly"),
              std::string::npos)
        << out;

    PopServer pop;
    pointAt(pop);
    writeSettings(folder.path(), s);
    pop.addMessage(message("a@x.example", "b@x.example", "hello"));
    out.clear();
    Child ok = startVorel({"--folder", folder.path(), "--verbose"});
    EXPECT_EQ(finish(ok, out), 0);
    EXPECT_NE(out.find("Testing To: b@x.example From: a@x.example Subject: hello\n"),
              std::string::npos);
    EXPECT_NE(out.find(" Mail Run Complete\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connecting to POP server"), std::string::npos);  // status: stderr
}

TEST_F(RunFixture, CommandStopsOnSigterm) {
    PopServer pop;
    pointAt(pop);
    {
        Database d = db();
        addAutoresponder(d, "INFO", "info@me.example", "Thanks");
    }
    for (int i = 0; i < 300; ++i) {
        pop.addMessage(message("a" + std::to_string(i) + "@x.example", "info@me.example", "m"));
    }
    writeSettings(folder.path(), s);
    Child c = startVorel({"--folder", folder.path()});
    std::string out = readOutput(c.out, "Testing To:");
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(finish(c, out), 0);
    EXPECT_NE(out.find("\nMail Run Cancelled by User\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Process complete"), std::string::npos);
    EXPECT_GT(pop.messageCount(), 0u);
    EXPECT_LT(pop.messageCount(), 300u);
}

}  // namespace
}  // namespace vorel
