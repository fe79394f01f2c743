// The libcurl/GMime mail component against real loopback servers (Dovecot,
// aiosmtpd) and a scripted misbehaving one, plus its error table and
// server-address parser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/CurlMailComponent.h"
#include "net/ServerAddress.h"
#include "support/FakeMailComponent.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

using namespace vorel;
using vorel::test::PopServer;
using vorel::test::SmtpServer;
using vorel::test::TempFolder;

namespace {

template <typename Server>
std::string addressOf(const Server& s) {
    return s.host() + ":" + std::to_string(s.port());
}

int codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const MailError& e) {
        return e.code();
    }
    return -1;
}

// Dovecot writes a session's counts just after answering QUIT: give it a moment.
bool logShows(const PopServer& pop, const std::string& text) {
    for (int k = 0; k < 100 && pop.log().find(text) == std::string::npos; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pop.log().find(text) != std::string::npos;
}

// A component that records the lines it sent and its notices.
struct Recorded {
    CurlMailComponent mail;
    std::vector<std::string> sentLines;
    std::vector<std::string> notices;
    Recorded() {
        mail.setTranscriptHandler([this](const std::string& l, TranscriptDirection d) {
            if (d == TranscriptDirection::Sent) {
                sentLines.push_back(l);
            }
        });
        mail.setNoticeHandler([this](const std::string& n) { notices.push_back(n); });
        mail.setTimeout(10);
        mail.setTranscriptOn(true);
    }
    bool sent(const std::string& prefix) const {
        return std::any_of(sentLines.begin(), sentLines.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
};

// Sets the CA file the component trusts for as long as it lives.
struct TrustedCa {
    explicit TrustedCa(const std::string& file) { ::setenv("VOREL_CA_FILE", file.c_str(), 1); }
    ~TrustedCa() { ::unsetenv("VOREL_CA_FILE"); }
};

OutgoingMessage textMessage(const std::string& to, const std::string& body) {
    OutgoingMessage m;
    m.to = to;
    m.from = m.sender = "owner@example.org";
    m.subject = "Re: hello";
    m.messageRef = "202612545296_KESO";
    m.extraHeaders = {"X-Mailer: VOREL MAIL test"};
    m.body = body;
    return m;
}

std::string headerOf(const std::string& data, const std::string& name) {
    std::smatch m;
    const std::string head = data.substr(0, data.find("\r\n\r\n"));
    if (std::regex_search(head, m,
                          std::regex("(^|\r\n)" + name + ": ([^\r\n]*)", std::regex::icase))) {
        return m[2];
    }
    return "<none>";
}

}  // namespace

// ------------------------------------------------- error table, addresses

TEST(MailErrors, TextsAndCodes) {
    const std::vector<std::pair<int, std::string>> texts = {
        {0, "Failed to connect to your host, check your pop server settings."},
        {10057,
         "The current socket has not been connected. - This could mean the remote mail server "
         "has disconnected from Vorel or that you have lost your connection"},
        {10065, "Remote host is currently unreachable."},
        {11001, "Remote host could not be found."},
        {11004, "Remote host could not be found."},
        {11002, "Remote host could not be found, try again."},
        {20002,
         "Server refused mail send, this could be because you are not sending FROM a valid email "
         "address of an account on that server."},
        {20011, "Invalid user name."},
        {20012, "Invalid password."},
        {30007, "30007 Undefined Error"},
        {-5, "-5 Undefined Error"}};
    for (const auto& [code, text] : texts) {
        EXPECT_EQ(mailErrorText(code), text) << code;
    }
    using P = MailPhase;
    struct Case {
        int curl;
        long response;
        MailPhase phase;
        int code;
    };
    // Refused, login refused, no or garbage greeting, lost mid-session, a
    // temporary refusal is not the table's 20002, -ERR, reconnect, TLS.
    const Case cases[] = {{6, 0, P::SmtpConnect, 11001}, {7, 0, P::PopConnect, 10065},
                          {67, 0, P::PopConnect, 20012}, {67, 535, P::SmtpConnect, 20012},
                          {28, 0, P::PopConnect, 0},     {8, 0, P::PopConnect, 0},
                          {28, 0, P::PopCommand, 10057}, {55, 550, P::SmtpSend, 20002},
                          {55, 451, P::SmtpSend, 10057}, {8, 0, P::PopCommand, 30008},
                          {7, 0, P::PopCommand, 10057},  {60, 0, P::PopConnect, 30060},
                          {64, 0, P::SmtpConnect, 30064}};
    for (const auto& c : cases) {
        EXPECT_EQ(mailErrorCodeFor(c.curl, c.response, c.phase), c.code)
            << "curl " << c.curl << " response " << c.response;
    }
    for (const auto& [reply, code] : std::vector<std::pair<int, int>>{
             {550, 20002}, {553, 20002}, {554, 20002}, {530, 20002}, {421, 10057}, {451, 40451}}) {
        EXPECT_EQ(mailErrorCodeForReply(reply), code) << reply;
    }
}

TEST(ServerAddress, ParsesEveryFormAndKnowsLoopback) {
    using S = ServerAddress::Security;
    using V = ServerAddress::Service;
    struct Case {
        std::string text;
        V service;
        S security;
        std::string url;
    };
    const std::vector<Case> cases = {
        {" mail.example.org ", V::Pop3, S::Opportunistic, "pop3://mail.example.org:110"},
        {"pop3://mail.example.org", V::Pop3, S::Required, "pop3://mail.example.org:110"},
        {"POP3S://mail.example.org", V::Pop3, S::Implicit, "pop3s://mail.example.org:995"},
        {"pop3s://mail.example.org:1100/", V::Pop3, S::Implicit, "pop3s://mail.example.org:1100"},
        {"smtp.example.org", V::Smtp, S::Opportunistic, "smtp://smtp.example.org:25"},
        {"smtp://smtp.example.org:587", V::Smtp, S::Required, "smtp://smtp.example.org:587"},
        {"smtps://smtp.example.org", V::Smtp, S::Implicit, "smtps://smtp.example.org:465"},
        {"[::1]:2525", V::Smtp, S::Opportunistic, "smtp://[::1]:2525"},
        {"::1", V::Pop3, S::Opportunistic, "pop3://[::1]:110"}};
    for (const auto& c : cases) {
        ServerAddress a = parseServerAddress(c.text, c.service);
        EXPECT_EQ(a.security, c.security) << c.text;
        EXPECT_EQ(a.url(), c.url) << c.text;
    }
    EXPECT_EQ(parseServerAddress("[::1]:2525", V::Smtp).host, "::1");
    EXPECT_EQ(parseServerAddress("pop3s://h:1100/", V::Pop3).port, 1100);
    for (const std::string bad : {"", "   ", "host:", "host:0", "host:70000", "host:12x",
                                  "imap://host", "smtp://host", "[::1", "bad host"}) {
        EXPECT_THROW(parseServerAddress(bad, V::Pop3), std::invalid_argument) << bad;
    }
    EXPECT_THROW(parseServerAddress("pop3://host", V::Smtp), std::invalid_argument);
    for (const char* h : {"127.0.0.1", "127.1.2.3", "::1", "localhost", "LOCALHOST"}) {
        EXPECT_TRUE(isLoopbackHost(h)) << h;
    }
    for (const char* h : {"128.0.0.1", "::2", "mail.example.org", "localhost.org"}) {
        EXPECT_FALSE(isLoopbackHost(h)) << h;
    }
}

// ---------------------------------------------------------------- POP3

// A scan as the run makes it: headers in order while later ones are read
// ahead, with deletions and whole messages in between.
TEST(PopComponent, ScanReadsAheadWithDeletionsInBetween) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop;
    const int n = 100;
    for (int i = 1; i <= n; ++i) {
        pop.addMessage("Subject: m" + std::to_string(i) + "\n\nbody " + std::to_string(i) + "\n");
    }
    Recorded r;
    CurlMailComponent& mail = r.mail;
    mail.popConnect(addressOf(pop), pop.user(), pop.password());
    for (int i = 1; i <= n; ++i) {
        mail.selectMessage(i);
        mail.fetchHeader();
        ASSERT_EQ(mail.subject(), "m" + std::to_string(i));
        if (i % 5 == 0) {
            ASSERT_EQ(mail.bodyText(), "body " + std::to_string(i) + "\r\n");
        }
        if (i % 3 == 0) {
            mail.deleteMessage();
            mail.deleteMessage();
        }
    }
    mail.selectMessage(4);
    mail.fetchHeader();  // going back: asked for again
    EXPECT_EQ(mail.subject(), "m4");
    mail.disconnect();

    const auto left = pop.messages();
    ASSERT_EQ(left.size(), static_cast<std::size_t>(n - n / 3));
    EXPECT_NE(left[2].find("Subject: m4\r\n"), std::string::npos);
    EXPECT_EQ(std::count(r.sentLines.begin(), r.sentLines.end(), "DELE 3\r\n"), 1);
    EXPECT_TRUE(logShows(pop, "top=" + std::to_string(n + 1) + "/")) << pop.log();
}

// ------------------------------------------------------ the contract, twice

// The same calls against the scripted component and the real one on Dovecot:
// what the tests above the wire learn from the fake holds for what runs.
struct FakeSide {
    vorel::test::FakeMailComponent mail;
    FakeSide() { mail.requirePopPassword("s3cret-Pw"); }
    static bool usable() { return true; }
    void add(const std::string& raw) { mail.addMessage(raw); }
    void connect(const std::string& password = "s3cret-Pw") {
        mail.popConnect("pop.example", "alice", password);
    }
    std::size_t left() const { return mail.mailbox().size(); }
    void expectDownloads(int n) const { EXPECT_EQ(mail.downloads(), n); }
};

struct DovecotSide {
    std::unique_ptr<PopServer> pop = usable() ? std::make_unique<PopServer>() : nullptr;
    CurlMailComponent mail;
    static bool usable() { return ::geteuid() == 0; }
    void add(const std::string& raw) { pop->addMessage(raw); }
    void connect(const std::string& password = "s3cret-Pw") {
        mail.popConnect(addressOf(*pop), pop->user(), password);
    }
    std::size_t left() const { return pop->messageCount(); }
    void expectDownloads(int n) const {
        EXPECT_TRUE(logShows(*pop, "retr=" + std::to_string(n) + "/")) << pop->log();
    }
};

template <typename Side>
class ComponentContract : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Side::usable()) {
            VOREL_SKIP_UNLESS_ROOT();
        }
    }
    Side side;
};

using Sides = ::testing::Types<FakeSide, DovecotSide>;
TYPED_TEST_SUITE(ComponentContract, Sides);

const char kQuotedPrintable[] =
    "From: Sender <s@example.org>\r\nTo: list@example.org\r\nSubject: fields\r\n"
    "X-Note: =?utf-8?q?caf=C3=A9?=\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"
    "\r\nHello caf=C3=A9\r\n%vorelcode%\r\nname=3DJ=C3=B6rg\r\nphone=3D555=\r\n1234\r\n";
const char kDecoded[] = "Hello caf\xc3\xa9\r\n%vorelcode%\r\nname=J\xc3\xb6rg\r\nphone=5551234\r\n";

const char kSecond[] =
    "Subject: a second message with a longer header\r\nFrom: bbb@ddd.com (John X. Doe)\r\n"
    "To: a@example.org,\r\n b@example.org\r\n\r\nshort\r\n";

// The whole message is read on demand by any call that needs it, once per
// selection; only fetchHeader and fetchMessage set From, To and Subject.
TYPED_TEST(ComponentContract, HeaderAndWholeMessage) {
    auto& mail = this->side.mail;
    this->side.add(kQuotedPrintable);
    this->side.add(kSecond);
    EXPECT_EQ(codeOf([&] { this->side.connect("wrong"); }), mailcode::kBadPassword);
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), mailcode::kNotConnected);
    EXPECT_EQ(codeOf([&] { mail.send(OutgoingMessage{}); }), mailcode::kNotConnected);
    this->side.connect();
    ASSERT_EQ(mail.messageCount(), 2);
    mail.selectMessage(1);
    mail.fetchHeader();
    EXPECT_EQ(mail.from() + "|" + mail.to() + "|" + mail.subject(),
              "Sender <s@example.org>|list@example.org|fields");
    EXPECT_EQ(mail.headerField("x-NOTE"), "caf\xc3\xa9");
    EXPECT_FALSE(mail.hasHeaderField("Auto-Submitted"));
    mail.setFrom("s@example.org");
    EXPECT_EQ(mail.bodyText(), kDecoded);
    EXPECT_EQ(mail.extraCount(), 0);
    TempFolder folder;
    mail.saveWorkFile(folder.file("temp.msg"));
    mail.saveMessageFile(folder.file("1.msg"));
    EXPECT_EQ(mail.from(), "s@example.org") << "reading the message keeps the values set";
    mail.fetchMessage();
    EXPECT_EQ(mail.from(), "Sender <s@example.org>");
    const std::string work = folder.read("temp.msg");
    EXPECT_NE(work.find("Subject: fields\r\n"), std::string::npos) << work;
    EXPECT_NE(work.find("\r\n\r\n" + std::string(kDecoded)), std::string::npos) << work;
    EXPECT_EQ(folder.read("1.msg"), kQuotedPrintable) << "the message exactly as received";

    // A comment-style name becomes a display name, folded lines are joined,
    // and nothing is carried over from the message before.
    mail.selectMessage(2);
    mail.fetchHeader();
    EXPECT_EQ(mail.from() + "|" + mail.to(),
              "\"John X. Doe\" <bbb@ddd.com>|a@example.org, b@example.org");
    EXPECT_FALSE(mail.hasHeaderField("X-Note"));
    // The work file is replaced whole, whether the new one is longer or shorter.
    mail.saveWorkFile(folder.file("temp.msg"));
    EXPECT_EQ(folder.read("temp.msg"),
              "Subject: a second message with a longer header\r\nFrom: bbb@ddd.com (John X. "
              "Doe)\r\nTo: a@example.org, b@example.org\r\n\r\nshort\r\n");
    mail.selectMessage(1);
    mail.saveWorkFile(folder.file("temp.msg"));
    EXPECT_EQ(folder.read("temp.msg"), work);
    mail.disconnect();
    this->side.expectDownloads(3);
}

// Deletions are marks until the session ends; a marked message is counted out
// and not read again.
TYPED_TEST(ComponentContract, DeletionsCommittedAtDisconnect) {
    auto& mail = this->side.mail;
    for (const char* subject : {"one", "two", "three"}) {
        this->side.add("Subject: " + std::string(subject) + "\r\n\r\nx\r\n");
    }
    this->side.connect();
    mail.selectMessage(2);
    mail.deleteMessage();
    mail.deleteMessage();  // harmless: the session goes on
    EXPECT_EQ(mail.messageCount(), 2);
    EXPECT_EQ(this->side.left(), 3u) << "committed before QUIT";
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), mailcode::kMessageDeleted);
    mail.selectMessage(4);
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), mailcode::kNoMessage);
    EXPECT_EQ(codeOf([&] { mail.bodyText(); }), mailcode::kNoMessage);
    mail.selectMessage(3);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject(), "three");
    mail.disconnect();
    EXPECT_EQ(this->side.left(), 2u);
    this->side.connect();
    mail.selectMessage(2);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject(), "three") << "renumbered after the commit";
    mail.disconnect();
}

TEST(PopComponent, ConnectFailures) {
    CurlMailComponent mail;
    mail.setTimeout(5);
    EXPECT_EQ(codeOf([&] { mail.popConnect("no-such-host.invalid", "u", "p"); }), 11001);
    // A port nobody listens on, then one that listens but never says a word.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string port = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    EXPECT_EQ(codeOf([&] { mail.popConnect(port, "u", "p"); }), 10065);
    EXPECT_EQ(codeOf([&] { mail.smtpConnect(port, SmtpProtocol::Smtp, "", ""); }), 10065);
    ASSERT_EQ(::listen(fd, 4), 0);
    mail.setTimeout(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(codeOf([&] { mail.popConnect(port, "u", "p"); }), 0);
    EXPECT_EQ(codeOf([&] { mail.smtpConnect(port, SmtpProtocol::Smtp, "", ""); }), 10065);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    ::close(fd);
    // Nothing usable is left behind by a failed connect.
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057);
    EXPECT_EQ(codeOf([&] { mail.send(OutgoingMessage{}); }), 10057);
}

TEST(PopComponent, ServerKilledMidSessionEndsTheSession) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop;
    pop.addMessage("Subject: one\n\nx\n");
    pop.addMessage("Subject: two\n\ny\n");
    CurlMailComponent mail;
    mail.setTimeout(5);
    mail.popConnect(addressOf(pop), pop.user(), pop.password());
    mail.selectMessage(1);
    mail.fetchHeader();
    mail.deleteMessage();
    pop.kill();
    mail.selectMessage(2);
    // Its header may have been read ahead before the kill; the download is
    // asked for after it.
    EXPECT_EQ(codeOf([&] { mail.fetchMessage(); }), 10057) << "no silent new session";
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), 10057);
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057);
    EXPECT_NO_THROW(mail.disconnect());
    EXPECT_EQ(pop.messageCount(), 2u) << "a deletion of a lost session is not committed";
}

// ---------------------------------------------------------------- TLS

TEST(Tls, PopBothWaysOnlyWithATrustedCertificate) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer::Options o;
    o.tls = true;
    PopServer pop(o);
    pop.addMessage("Subject: secret\n\nx\n");
    const std::string pop3s = "pop3s://127.0.0.1:" + std::to_string(pop.tlsPort());
    const std::string stls = "pop3://127.0.0.1:" + std::to_string(pop.port());
    {
        Recorded r;
        EXPECT_EQ(codeOf([&] { r.mail.popConnect(pop3s, pop.user(), pop.password()); }),
                  mailcode::kCurlBase + 60);
        ASSERT_EQ(r.notices.size(), 1u);
        EXPECT_NE(r.notices[0].find("Secure connection to 127.0.0.1 failed"), std::string::npos);
        // Never falls back to clear text on the STLS port either.
        EXPECT_EQ(codeOf([&] { r.mail.popConnect(addressOf(pop), pop.user(), pop.password()); }),
                  mailcode::kCurlBase + 60);
        EXPECT_FALSE(r.sent("AUTH") || r.sent("USER") || r.sent("PASS"));
    }
    {
        TrustedCa ca(pop.caFile());
        for (const std::string& address : {pop3s, stls, addressOf(pop)}) {
            Recorded r;
            r.mail.popConnect(address, pop.user(), pop.password());
            r.mail.selectMessage(1);
            r.mail.fetchHeader();
            EXPECT_EQ(r.mail.subject(), "secret") << address;
            r.mail.disconnect();
            EXPECT_EQ(r.sent("STLS"), address != pop3s) << address;
            EXPECT_TRUE(r.notices.empty()) << address;
        }
    }
    PopServer clear;  // pop3:// requires STLS, which this one does not offer
    Recorded r;
    EXPECT_EQ(codeOf([&] {
                  r.mail.popConnect("pop3://127.0.0.1:" + std::to_string(clear.port()),
                                    clear.user(), clear.password());
              }),
              mailcode::kCurlBase + 64);
    EXPECT_FALSE(r.sent("AUTH") || r.sent("USER")) << "no credentials in clear text";
}

// ESMTP logs in (the AUTH exchange shows in the transcript) over either TLS.
TEST(Tls, SmtpBothWaysWithAuth) {
    SmtpServer::Options o;
    o.tls = true;
    o.authUser = "alice";
    o.authPassword = "s3cret";
    SmtpServer smtp(o);
    const std::string smtps = "smtps://127.0.0.1:" + std::to_string(smtp.tlsPort());
    const std::string starttls = "smtp://127.0.0.1:" + std::to_string(smtp.port());
    TrustedCa ca(smtp.caFile());
    for (const std::string& address : {smtps, starttls, addressOf(smtp)}) {
        Recorded r;
        r.mail.smtpConnect(address, SmtpProtocol::Esmtp, "alice", "s3cret");
        r.mail.send(textMessage("a@example.org", "over TLS"));
        r.mail.disconnect();
        EXPECT_EQ(r.sent("STARTTLS"), address != smtps) << address;
        EXPECT_TRUE(r.sent("EHLO ") && r.sent("AUTH ")) << address;
        EXPECT_TRUE(r.notices.empty()) << address;
    }
    CurlMailComponent mail;
    EXPECT_EQ(codeOf([&] { mail.smtpConnect(starttls, SmtpProtocol::Esmtp, "alice", "wrong"); }),
              20012);
    // Plain SMTP does not authenticate: this server refuses the mail.
    mail.smtpConnect(starttls, SmtpProtocol::Smtp, "alice", "s3cret");
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("a@example.org", "x")); }), 20002);
    mail.disconnect();
    EXPECT_EQ(smtp.received().size(), 3u);
}

// ---------------------------------------------------------------- SMTP

// Parameter: the server advertises PIPELINING.
class SmtpModes : public ::testing::TestWithParam<bool> {};

TEST_P(SmtpModes, TextMessagesOnOneConnection) {
    SmtpServer::Options options;
    options.pipelining = GetParam();
    SmtpServer smtp(options);
    CurlMailComponent mail;
    mail.smtpConnect(addressOf(smtp), SmtpProtocol::Smtp, "", "");
    OutgoingMessage first = textMessage("a@example.org", "Thanks.\r\n.leading dot\r\n");
    first.copyTo = "copy@example.org";
    mail.send(first);
    OutgoingMessage second = textMessage("B\xc3\xa4r <b@example.org>", "x");
    second.sender = "robot@example.org";
    mail.send(second);
    mail.disconnect();

    auto got = smtp.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(smtp.sessionCount(), 1);
    EXPECT_EQ(got[0].mailFrom, "owner@example.org");
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"a@example.org", "copy@example.org"}));
    const std::string& d0 = got[0].data;
    EXPECT_EQ(headerOf(d0, "To") + "|" + headerOf(d0, "Cc") + "|" + headerOf(d0, "Sender"),
              "a@example.org|copy@example.org|<none>")
        << "Sender equal to From is left out";
    EXPECT_NE(headerOf(d0, "Date"), "<none>");
    EXPECT_TRUE(std::regex_match(headerOf(d0, "Message-Id"),
                                 std::regex(R"(<202612545296_KESO\.[0-9.]+@example\.org>)")))
        << headerOf(d0, "Message-Id");
    EXPECT_NE(d0.find("\r\n\r\nThanks.\r\n.leading dot\r\n"), std::string::npos) << d0;
    EXPECT_EQ(got[1].mailFrom, "robot@example.org");
    EXPECT_EQ(got[1].rcptTo, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(headerOf(got[1].data, "Sender"), "robot@example.org");
}

// Any refused address fails the whole message (nothing reaches the others).
// Without PIPELINING the session goes on after RSET; with it, a refusal
// after DATA was accepted drops the connection, so each case gets a new one.
TEST_P(SmtpModes, RefusedRecipientOrSender) {
    SmtpServer::Options o;
    o.refuseRecipients = {"gone@example.org"};
    o.refuseSenders = {"spammer@example.org"};
    o.pipelining = GetParam();
    SmtpServer smtp(o);
    CurlMailComponent mail;
    mail.smtpConnect(addressOf(smtp), SmtpProtocol::Smtp, "", "");
    OutgoingMessage spam = textMessage("a@example.org", "x");
    spam.from = spam.sender = "spammer@example.org";
    for (const auto& m :
         {textMessage("gone@example.org", "x"), spam,
          textMessage("ok@example.org, gone@example.org", "x"), textMessage("", "x")}) {
        SCOPED_TRACE(m.from + " to " + m.to);
        if (GetParam()) {
            mail.disconnect();
            mail.smtpConnect(addressOf(smtp), SmtpProtocol::Smtp, "", "");
        }
        EXPECT_EQ(codeOf([&] { mail.send(m); }), 20002);
    }
    mail.send(textMessage("a@example.org", "fine"));
    mail.send(textMessage("b@example.org", "fine too"));
    mail.disconnect();
    auto got = smtp.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"a@example.org"});
    EXPECT_EQ(got[1].rcptTo, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(got[0].session, got[1].session);
    EXPECT_TRUE(GetParam() || smtp.sessionCount() == 1);
}

// A saved message forwarded: new addressing and subject, the trace and
// signature fields gone, the body (megabytes, dotted lines, an attachment)
// byte for byte; a missing file fails that message.
TEST_P(SmtpModes, ForwardRoundTrip) {
    std::string body = "--XX\r\nContent-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 60000; ++i) {
        body +=
            (i % 7 == 0 ? ".line " : "line ") + std::to_string(i) + std::string(70, 'x') + "\r\n";
    }
    body +=
        "--XX\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgcICQ==\r\n--XX--\r\n";
    TempFolder folder;
    folder.write("1.msg",
                 "Received: from x by y\r\nDKIM-Signature: v=1; b=abc\r\n"
                 "From: Poster <poster@example.org>\r\nTo: list@example.org\r\nSubject: big\r\n"
                 "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n" +
                     body);
    SmtpServer::Options options;
    options.pipelining = GetParam();
    SmtpServer smtp(options);
    CurlMailComponent mail;
    OutgoingMessage fwd = textMessage("fwd1@example.org, fwd2@example.org", "ignored");
    fwd.subject = "(VOREL FWD) Originally From: poster@example.org big";
    fwd.sourceFile = folder.file("1.msg");
    mail.smtpConnect(addressOf(smtp), SmtpProtocol::Smtp, "", "");
    mail.send(fwd);
    fwd.sourceFile = folder.file("missing.msg");
    EXPECT_EQ(codeOf([&] { mail.send(fwd); }), mailcode::kFile);
    mail.disconnect();

    const auto got = smtp.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"fwd1@example.org", "fwd2@example.org"}));
    const std::string& d = got[0].data;
    EXPECT_EQ(headerOf(d, "To"), "fwd1@example.org, fwd2@example.org");
    EXPECT_EQ(headerOf(d, "From"), "owner@example.org");
    EXPECT_EQ(headerOf(d, "Subject"), fwd.subject);
    EXPECT_EQ(headerOf(d, "Received") + headerOf(d, "DKIM-Signature"), "<none><none>");
    // Compared by hand: a diff of megabytes is more than gtest can print.
    const std::string sent = d.substr(d.find("\r\n\r\n") + 4);
    EXPECT_TRUE(sent == body)
        << "sizes " << sent.size() << " and " << body.size() << ", first difference at "
        << (std::mismatch(sent.begin(), sent.end(), body.begin(), body.end()).first - sent.begin());
}

INSTANTIATE_TEST_SUITE_P(Pipelining, SmtpModes, ::testing::Bool());

// ------------------------------------------------- misbehaving POP3 server

namespace {

// One connection to a scripted POP3 server on a thread: the script reads the
// client's lines and answers what the test wants.
class ScriptedPop {
public:
    struct Conn {
        int fd;
        std::string buf;
        std::string line() {
            char chunk[4096];
            for (ssize_t n; buf.find("\r\n") == std::string::npos;) {
                if ((n = ::read(fd, chunk, sizeof chunk)) <= 0) {
                    return "";
                }
                buf.append(chunk, static_cast<std::size_t>(n));
            }
            const std::size_t end = buf.find("\r\n");
            std::string out = buf.substr(0, end);
            buf.erase(0, end + 2);
            return out;
        }
        void send(const std::string& text) const {
            for (std::size_t off = 0; off < text.size();) {
                const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
                if (n <= 0) {
                    return;
                }
                off += static_cast<std::size_t>(n);
            }
        }
        // Greeting and USER/PASS login, then LIST answered with `list`.
        void login(const std::string& list, bool pipelining = false) {
            send("+OK scripted\r\n");
            for (std::string l = line(); !l.empty(); l = line()) {
                if (l == "CAPA") {
                    send(pipelining ? "+OK\r\nUSER\r\nPIPELINING\r\n.\r\n"
                                    : "+OK\r\nUSER\r\n.\r\n");
                } else if (l == "LIST") {
                    return send("+OK\r\n" + list + ".\r\n");
                } else {
                    send("+OK\r\n");
                }
            }
        }
    };

    explicit ScriptedPop(std::function<void(Conn&)> script) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(listen_, 1);
        thread_ = std::thread([this, script] {
            const int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            Conn c{fd, {}};
            script(c);
            // Hold the connection until the client is done with it.
            char sink[256];
            while (!done_ && ::read(fd, sink, sizeof sink) > 0) {
            }
            ::close(fd);
        });
    }
    ~ScriptedPop() {
        done_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        thread_.join();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A server that logs in, then answers each command with `answers` (or +OK)
// until QUIT, recording the commands in `seen`.
std::unique_ptr<ScriptedPop> answering(const std::string& list, bool pipelining,
                                       std::vector<std::string>& seen,
                                       std::map<std::string, std::string> answers) {
    return std::make_unique<ScriptedPop>([&seen, list, pipelining, answers](auto& c) {
        c.login(list, pipelining);
        for (std::string l = c.line(); !l.empty(); l = c.line()) {
            seen.push_back(l);
            c.send(answers.count(l) ? answers.at(l) : "+OK\r\n");
            if (l == "QUIT") {
                return;
            }
        }
    });
}

}  // namespace

// An -ERR fails that command only; an -ERR to QUIT means the deletions were
// not committed, which is not a success.
TEST(PopMisbehaving, ErrRepliesToTopAndQuit) {
    std::vector<std::string> seen;
    {
        auto server = answering("1 30\r\n2 30\r\n", false, seen,
                                {{"TOP 1 0", "-ERR no such message\r\n"},
                                 {"QUIT", "-ERR could not expunge\r\n"},
                                 {"TOP 2 0", "+OK\r\nSubject: two\r\n..dotted: yes\r\n\r\n.\r\n"}});
        CurlMailComponent mail;
        mail.setTimeout(5);
        mail.popConnect(server->address(), "u", "p");
        mail.selectMessage(1);
        EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), 30008);
        mail.selectMessage(2);
        mail.fetchHeader();
        EXPECT_EQ(mail.subject(), "two");
        EXPECT_TRUE(mail.hasHeaderField(".dotted")) << "dot-unstuffed";
        mail.deleteMessage();
        EXPECT_EQ(codeOf([&] { mail.disconnect(); }), 30008) << "deletions not committed";
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"TOP 1 0", "TOP 2 0", "DELE 2", "QUIT"}))
        << "no new login, no QUIT before the end";
}

// DELE is not waited for on a pipelining server; a refusal comes out of
// disconnect, after the QUIT has committed the other deletions.
TEST(PopMisbehaving, RefusedPipelinedDeleteIsReportedAtDisconnect) {
    std::vector<std::string> seen;
    {
        auto server = answering(
            "1 30\r\n2 30\r\n", true, seen,
            {{"DELE 1", "-ERR locked\r\n"}, {"TOP 2 0", "+OK\r\nSubject: two\r\n\r\n.\r\n"}});
        CurlMailComponent mail;
        mail.setTimeout(5);
        mail.popConnect(server->address(), "u", "p");
        mail.selectMessage(1);
        mail.deleteMessage();
        mail.deleteMessage();  // already marked: nothing more is sent
        mail.selectMessage(2);
        mail.fetchHeader();  // reads the refusal; the session goes on
        EXPECT_EQ(mail.subject(), "two");
        mail.deleteMessage();
        EXPECT_EQ(mail.messageCount(), 1) << "message 1 is still there";
        EXPECT_EQ(codeOf([&] { mail.disconnect(); }), 30008);
        EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057) << "the session is over";
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"DELE 1", "TOP 2 0", "DELE 2", "QUIT"}));
}

// Garbage, a silent server, a message cut short or endless:
// the call fails in time and the session is over (no silent reconnect).
TEST(PopMisbehaving, BrokenRepliesEndTheSession) {
    struct Case {
        const char* name;
        std::string list;
        std::function<void(ScriptedPop::Conn&)> answer;  // to the first command after LIST
        bool whole;                                      // fetchMessage, else fetchHeader
    };
    const std::vector<Case> cases = {
        {"garbage", "1 30\r\n", [](auto& c) { c.send("HELLO THERE\r\n"); }, false},
        {"silent", "1 30\r\n", [](auto&) {}, false},
        {"retr cut by close", "1 5000\r\n",
         [](auto& c) {
             c.send("+OK\r\nSubject: x\r\n\r\n" + std::string(100, 'a'));
             ::shutdown(c.fd, SHUT_RDWR);
         },
         true},
        {"retr shorter than listed", "1 5000\r\n",
         [](auto& c) { c.send("+OK\r\nSubject: x\r\n\r\nshort\r\n.\r\n"); }, true},
        {"endless header", "1 10\r\n",
         [](auto& c) {
             c.send("+OK\r\n");
             for (int i = 0; i < 40000; ++i) {
                 c.send("X-Filler: " + std::string(60, 'f') + "\r\n");
             }
         },
         false}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ScriptedPop server([&](ScriptedPop::Conn& c) {
            c.login(tc.list);
            c.line();
            tc.answer(c);
        });
        CurlMailComponent mail;
        mail.setTimeout(1);
        mail.popConnect(server.address(), "u", "p");
        mail.selectMessage(1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(codeOf([&] { tc.whole ? mail.fetchMessage() : mail.fetchHeader(); }), 10057);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), 10057) << "session over";
        EXPECT_NO_THROW(mail.disconnect());
    }
}
