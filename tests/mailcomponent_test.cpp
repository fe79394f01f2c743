// The curl mail component: errors, addresses, its contract with fake, real and scripted servers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "net/CurlMailComponent.h"
#include "net/ServerAddress.h"
#include "support/FakeMailComponent.h"
#include "support/HeaderFields.h"
#include "support/ScriptedServer.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

using namespace vorel;
using namespace vorel::test;

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

// A component that records the lines it sent and its notices.
struct Recorded {
    std::string sent;
    std::vector<std::string> notices;
    CurlMailComponent mail;  // last: it still reports while it disconnects
    Recorded() {
        mail.setTranscriptHandler([this](const std::string& l, TranscriptDirection d) {
            sent += d == TranscriptDirection::Sent ? l : "";
        });
        mail.setNoticeHandler([this](const std::string& n) { notices.push_back(n); });
        mail.setTranscriptOn(true);
    }
    bool sentLine(const std::string& prefix) const {
        return ("\n" + sent).find("\n" + prefix) != std::string::npos;
    }
};

using Answers = std::map<std::string, std::string>;
struct ScriptedPop : ScriptedServer {
    explicit ScriptedPop(Answers answers) : ScriptedServer(popScript(std::move(answers))) {}
};

OutgoingMessage textMessage(const std::string& to, const std::string& body) {
    OutgoingMessage m;
    m.to = to;
    m.from = m.sender = "owner@example.org";
    m.subject = "Re: hello";
    m.messageRef = "202612545296_KESO";
    m.body = body;
    return m;
}

}  // namespace

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
    // Refused, login refused, no or bad greeting, lost, a 4xx is not 20002, -ERR, reconnect, TLS.
    const std::tuple<int, long, MailPhase, int> cases[] = {
        {6, 0, P::SmtpConnect, 11001}, {7, 0, P::PopConnect, 10065},
        {67, 0, P::PopConnect, 20012}, {67, 535, P::SmtpConnect, 20012},
        {28, 0, P::PopConnect, 0},     {8, 0, P::PopConnect, 0},
        {28, 0, P::PopCommand, 10057}, {55, 550, P::SmtpSend, 20002},
        {55, 451, P::SmtpSend, 10057}, {8, 0, P::PopCommand, 30008},
        {7, 0, P::PopCommand, 10057},  {60, 0, P::PopConnect, 30060},
        {64, 0, P::SmtpConnect, 30064}};
    for (const auto& [curl, response, phase, code] : cases) {
        EXPECT_EQ(mailErrorCodeFor(curl, response, phase), code) << curl << " " << response;
    }
    for (const auto& [reply, code] : std::vector<std::pair<int, int>>{
             {550, 20002}, {553, 20002}, {554, 20002}, {530, 20002}, {421, 10057}, {451, 40451}}) {
        EXPECT_EQ(mailErrorCodeForReply(reply), code) << reply;
    }
}

TEST(ServerAddress, ParsesEveryFormAndKnowsLoopback) {
    using S = ServerAddress::Security;
    using V = ServerAddress::Service;
    // The setting, what it is for; its security, URL and host.
    const std::tuple<std::string, V, S, std::string, std::string> cases[] = {
        {" mail.example.org ", V::Pop3, S::Opportunistic, "pop3://mail.example.org:110",
         "mail.example.org"},
        {"pop3://mail.example.org", V::Pop3, S::Required, "pop3://mail.example.org:110",
         "mail.example.org"},
        {"POP3S://mail.example.org", V::Pop3, S::Implicit, "pop3s://mail.example.org:995",
         "mail.example.org"},
        {"pop3s://h:1100/", V::Pop3, S::Implicit, "pop3s://h:1100", "h"},
        {"smtp.example.org", V::Smtp, S::Opportunistic, "smtp://smtp.example.org:25",
         "smtp.example.org"},
        {"smtp://smtp.example.org:587", V::Smtp, S::Required, "smtp://smtp.example.org:587",
         "smtp.example.org"},
        {"smtps://smtp.example.org", V::Smtp, S::Implicit, "smtps://smtp.example.org:465",
         "smtp.example.org"},
        {"[::1]:2525", V::Smtp, S::Opportunistic, "smtp://[::1]:2525", "::1"},
        {"::1", V::Pop3, S::Opportunistic, "pop3://[::1]:110", "::1"},
        // The mailbox setting takes IMAP too.
        {"imap://mail.example", V::Pop3, S::Required, "imap://mail.example:143", "mail.example"},
        {"IMAPS://h", V::Pop3, S::Implicit, "imaps://h:993", "h"},
        {"imap://h:1143/", V::Pop3, S::Required, "imap://h:1143", "h"},
        {"imaps://[::1]:9993", V::Pop3, S::Implicit, "imaps://[::1]:9993", "::1"}};
    for (const auto& [text, service, security, url, host] : cases) {
        const ServerAddress a = parseServerAddress(text, service);
        EXPECT_EQ(a.security, security) << text;
        EXPECT_EQ(a.url(), url) << text;
        EXPECT_EQ(a.host, host) << text;
    }
    for (const std::string bad : {"", "   ", "host:", "host:0", "host:70000", "host:12x",
                                  "ftp://host", "smtp://host", "[::1", "bad host"}) {
        EXPECT_THROW(parseServerAddress(bad, V::Pop3), std::invalid_argument) << bad;
    }
    for (const std::string mailbox : {"pop3://host", "imap://host", "imaps://host"}) {
        EXPECT_THROW(parseServerAddress(mailbox, V::Smtp), std::invalid_argument) << mailbox;
    }
    for (const std::string h : {"127.0.0.1", "127.1.2.3", "::1", "localhost", "LOCALHOST",
                                "-128.0.0.1", "-::2", "-mail.example.org", "-localhost.org"}) {
        EXPECT_EQ(isLoopbackHost(h.substr(h[0] == '-')), h[0] != '-') << h;
    }
}

// The same calls against the fake and the real component on Dovecot: the fake holds for what runs.
struct FakeSide {
    FakeMailComponent mail;
    FakeSide() { mail.requirePopPassword("s3cret-Pw"); }
    static bool usable() { return true; }
    void add(const std::string& raw) { mail.addMessage(raw); }
    void connect(const std::string& password = "s3cret-Pw") {
        mail.popConnect("pop.example", "alice", password);
    }
    std::size_t left() const { return mail.mailbox().size(); }
    bool downloaded(int n) const { return mail.downloads() == n; }
};

struct DovecotSide {
    std::unique_ptr<PopServer> pop = usable() ? std::make_unique<PopServer>() : nullptr;
    int retrs = 0;
    CurlMailComponent mail;  // after what its handler writes to
    DovecotSide() {
        mail.setTranscriptOn(true);
        mail.setTranscriptHandler([this](const std::string& l, TranscriptDirection) {
            retrs += l.rfind("RETR", 0) == 0;
        });
    }
    static bool usable() { return ::geteuid() == 0; }
    void add(const std::string& raw) { pop->addMessage(raw); }
    void connect(const std::string& password = "s3cret-Pw") {
        mail.popConnect(addressOf(*pop), pop->user(), password);
    }
    std::size_t left() const { return pop->messageCount(); }
    bool downloaded(int n) const { return retrs == n; }
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
    "To: a@example.org,\r\n b@example.org\r\n\r\nshort\r\n.dot\r\n";

// Read on demand once per selection; only fetch* set From, To, Subject; deletions wait for QUIT.
TYPED_TEST(ComponentContract, ReadMarkAndCommit) {
    auto& mail = this->side.mail;
    this->side.add(kQuotedPrintable);
    this->side.add(kSecond);
    this->side.add("Subject: three\r\n\r\nx\r\n");
    EXPECT_EQ(codeOf([&] { this->side.connect("wrong"); }), mailcode::kBadPassword);
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), mailcode::kNotConnected);
    EXPECT_EQ(codeOf([&] { mail.send(OutgoingMessage{}); }), mailcode::kNotConnected);
    this->side.connect();
    ASSERT_EQ(mail.messageCount(), 3);
    mail.selectMessage(1);
    mail.fetchHeader();
    EXPECT_EQ(mail.from() + "|" + mail.to() + "|" + mail.subject(),
              "Sender <s@example.org>|list@example.org|fields");
    EXPECT_EQ(mail.headerField("x-NOTE"), "caf\xc3\xa9");
    EXPECT_FALSE(mail.hasHeaderField("Auto-Submitted"));
    mail.setFrom("s@example.org");
    EXPECT_EQ(mail.bodyText(), kDecoded);
    EXPECT_EQ(mail.extraCount(), 0);
    const auto workText = [&mail] {  // the decoded header lines and text merge codes read
        std::string text;
        mail.workTextPieces([&text](std::string_view piece) { text += piece; });
        return text;
    };
    TempFolder folder;
    const std::string work = workText();
    mail.saveMessageFile(folder.file("1.msg"));
    EXPECT_EQ(mail.from(), "s@example.org") << "reading the message keeps the values set";
    mail.fetchMessage();
    EXPECT_EQ(mail.from(), "Sender <s@example.org>");
    EXPECT_NE(work.find("Subject: fields\r\n"), std::string::npos) << work;
    EXPECT_NE(work.find("\r\n\r\n" + std::string(kDecoded)), std::string::npos) << work;
    EXPECT_EQ(folder.read("1.msg"), kQuotedPrintable) << "the message exactly as received";

    // Comment names become display names, folds join, nothing carries over.
    mail.selectMessage(2);
    mail.fetchHeader();
    EXPECT_EQ(mail.from() + "|" + mail.to(),
              "\"John X. Doe\" <bbb@ddd.com>|a@example.org, b@example.org");
    EXPECT_FALSE(mail.hasHeaderField("X-Note"));
    EXPECT_EQ(workText(),
              "Subject: a second message with a longer header\r\nFrom: bbb@ddd.com (John X. "
              "Doe)\r\nTo: a@example.org, b@example.org\r\n\r\nshort\r\n.dot\r\n");
    mail.selectMessage(1);
    EXPECT_EQ(workText(), work);

    mail.selectMessage(2);
    mail.deleteMessage();
    mail.deleteMessage();  // harmless: the session goes on
    EXPECT_EQ(mail.messageCount(), 2);
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), mailcode::kMessageDeleted);
    mail.selectMessage(4);
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), mailcode::kNoMessage);
    EXPECT_EQ(codeOf([&] { mail.bodyText(); }), mailcode::kNoMessage);
    EXPECT_EQ(this->side.left(), 3u) << "committed before QUIT";
    mail.disconnect();
    EXPECT_EQ(this->side.left(), 2u);
    EXPECT_TRUE(this->side.downloaded(3));
    this->side.connect();
    mail.selectMessage(2);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject(), "three") << "renumbered after the commit";
    mail.disconnect();
}

TEST(PopComponent, ConnectFailuresLeaveNoSession) {
    ScriptedPop silent(Answers{{"", ""}});
    const std::string refused = "127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    const std::tuple<std::string, bool, int> cases[] = {{"no-such-host.invalid", true, 11001},
                                                        {"bad host", false, 11001},
                                                        {refused, true, 10065},
                                                        {refused, false, 10065},
                                                        {silent.address(), true, 0},
                                                        {silent.address(), false, 10065}};
    CurlMailComponent mail;
    mail.setTimeout(1);
    for (const auto& [address, pop, code] : cases) {
        EXPECT_EQ(codeOf([&] {
                      pop ? mail.popConnect(address, "u", "p")
                          : mail.smtpConnect(address, SmtpProtocol::Smtp, "", "");
                  }),
                  code)
            << address << (pop ? " pop" : " smtp");
    }
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057);
    EXPECT_EQ(codeOf([&] { mail.send(OutgoingMessage{}); }), 10057);
}

// APOP where PASS was refused, with the digest of the greeting's timestamp; UTF8 (RFC 6856) before
// the login where CAPA lists it, so that UTF-8 headers are served as they are, nowhere else.
TEST(PopComponent, ApopAfterARefusedPassAndUtf8WhereOffered) {
    const std::tuple<Answers, std::string, bool> cases[] = {
        {{{"", "+OK ready <1.2@x>\r\n"}, {"PASS p", "-ERR no\r\n"}},
         "APOP u ded2217e38f6d8d374eba00c259de1d3\r\n",
         true},
        {{{"CAPA", "+OK\r\nUSER\r\nUTF8 USER\r\n.\r\n"}}, "UTF8\r\nUSER u\r\n", true},
        {{}, "UTF8", false}};
    for (const auto& [answers, line, sent] : cases) {
        ScriptedPop server(answers);
        Recorded r;
        r.mail.popConnect(server.address(), "u", "p");
        EXPECT_EQ(r.sent.find(line) != std::string::npos, sent) << r.sent;
    }
}

// -ERR fails its command only; garbage, silence, a cut or endless reply end the session.
TEST(PopComponent, BrokenRepliesEndTheSessionAnErrDoesNot) {
    std::string endless = "+OK\r\n";
    for (int i = 0; i < 40000; ++i) {
        endless += "X-Filler: " + std::string(60, 'f') + "\r\n";
    }
    endless += "\r\n.\r\n";
    // The listing when not "1 30", the command answered and its reply.
    const std::tuple<std::string, std::string, std::string, int> cases[] = {
        {"", "TOP 1 0", "-ERR no such message\r\n", 30008},
        {"", "TOP 1 0", "HELLO THERE\r\n", 10057},
        {"", "TOP 1 0", "", 10057},
        {"", "TOP 1 0", endless, 10057},
        {"+OK\r\n1 5000\r\n.\r\n", "RETR 1", "+OK\r\nSubject: x\r\n\r\nshort\r\n.\r\n", 10057}};
    for (const auto& [list, command, reply, code] : cases) {
        SCOPED_TRACE(reply.substr(0, 30));
        ScriptedPop server(list.empty() ? Answers{{command, reply}}
                                        : Answers{{command, reply}, {"LIST", list}});
        CurlMailComponent mail;
        mail.setTimeout(1);
        mail.popConnect(server.address(), "u", "p");
        mail.selectMessage(1);
        EXPECT_EQ(codeOf([&] { list.empty() ? mail.fetchHeader() : mail.fetchMessage(); }), code);
        EXPECT_EQ(codeOf([&] { mail.messageCount(); }), code == 10057 ? 10057 : -1);
        EXPECT_EQ(codeOf([&] { mail.disconnect(); }), -1);
    }
}

// Certificates checked, never a fall back to clear text; plain URLs need STARTTLS.
TEST(Tls, PopAndSmtpBothWaysOnlyWithATrustedCertificate) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop({.tls = true});
    pop.addMessage("Subject: secret\n\nx\n");
    SmtpServer::Options so;
    so.tls = true;
    so.authUser = "alice";
    so.authPassword = "s3cret";
    SmtpServer smtp(so);
    const std::string starttls = "smtp://127.0.0.1:" + std::to_string(smtp.port());
    using Way = std::tuple<std::string, bool, bool>;  // address, POP3, STLS or STARTTLS
    const Way ways[] = {{"pop3s://127.0.0.1:" + std::to_string(pop.tlsPort()), true, false},
                        {"pop3://127.0.0.1:" + std::to_string(pop.port()), true, true},
                        {addressOf(pop), true, true},
                        {"smtps://127.0.0.1:" + std::to_string(smtp.tlsPort()), false, false},
                        {starttls, false, true},
                        {addressOf(smtp), false, true}};
    const auto connect = [&](CurlMailComponent& mail, const Way& w) {
        std::get<1>(w) ? mail.popConnect(std::get<0>(w), pop.user(), pop.password())
                       : mail.smtpConnect(std::get<0>(w), SmtpProtocol::Esmtp, "alice", "s3cret");
    };
    {
        ScriptedPop clear(Answers{});  // offers no STLS
        Recorded r;
        for (const int k : {0, 2, 4}) {
            EXPECT_EQ(codeOf([&] { connect(r.mail, ways[k]); }), mailcode::kCurlBase + 60) << k;
        }
        EXPECT_EQ(codeOf([&] { r.mail.popConnect("pop3://" + clear.address(), "u", "p"); }),
                  mailcode::kCurlBase + 64);
        ASSERT_EQ(r.notices.size(), 4u);
        EXPECT_EQ(r.notices[0].rfind("Secure connection to 127.0.0.1 failed", 0), 0u);
        EXPECT_FALSE(r.sentLine("AUTH") || r.sentLine("USER") || r.sentLine("PASS")) << r.sent;
    }
    TempFolder folder;
    folder.write("ca.pem", test::readFile(pop.caFile()) + test::readFile(smtp.caFile()));
    ::setenv("VOREL_CA_FILE", folder.file("ca.pem").c_str(), 1);
    for (const Way& w : ways) {
        const auto& [address, isPop, upgrade] = w;
        SCOPED_TRACE(address);
        Recorded r;
        connect(r.mail, w);
        if (isPop) {
            EXPECT_EQ(r.mail.messageCount(), 1);
        } else {
            r.mail.send(textMessage("a@example.org", "over TLS"));
        }
        r.mail.disconnect();
        EXPECT_EQ(r.sentLine("STLS") || r.sentLine("STARTTLS"), upgrade);
        EXPECT_TRUE(r.sentLine("AUTH ") && r.notices.empty());
    }
    CurlMailComponent mail;
    EXPECT_EQ(codeOf([&] { mail.smtpConnect(starttls, SmtpProtocol::Esmtp, "alice", "wrong"); }),
              20012);
    // Plain SMTP does not authenticate: this server refuses the mail.
    mail.smtpConnect(starttls, SmtpProtocol::Smtp, "alice", "s3cret");
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("a@example.org", "x")); }), 20002);
    mail.disconnect();
    ::unsetenv("VOREL_CA_FILE");
    EXPECT_EQ(smtp.received().size(), 3u);
}

// Parameter: PIPELINING, 8BITMIME, SMTPUTF8 offered (else 8-bit data and long lines are refused).
class SmtpModes : public ::testing::TestWithParam<bool> {};

// A refused address fails its whole message, then RSET; saved messages forwarded byte for byte.
TEST_P(SmtpModes, TextRefusedAndForwarded) {
    const bool p = GetParam();
    SmtpServer::Options o;
    o.pipelining = o.eightBitMime = o.smtputf8 = p;
    o.refuseRecipients = {"gone@example.org"};
    o.refuseSenders = {"spammer@example.org"};
    SmtpServer smtp(o);
    Recorded r;
    CurlMailComponent& mail = r.mail;
    const auto connect = [&] { mail.smtpConnect(addressOf(smtp), SmtpProtocol::Smtp, "", ""); };
    connect();
    OutgoingMessage first = textMessage("a@example.org", "Thanks.\r\n.leading dot\r\n");
    first.copyTo = "copy@example.org";
    first.sender = "robot@example.org";
    mail.send(first);
    OutgoingMessage spam = textMessage("a@example.org", "x");
    spam.from = spam.sender = "spammer@example.org";
    for (const auto& m :
         {textMessage("gone@example.org", "x"), spam,
          textMessage("ok@example.org, gone@example.org", "x"), textMessage("", "x")}) {
        SCOPED_TRACE(m.from + " to " + m.to);
        EXPECT_EQ(codeOf([&] { mail.send(m); }), 20002);
        if (p) {
            mail.disconnect();
            connect();
        }
    }

    std::string body = "--XX\r\nContent-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 60000; ++i) {
        body += (i % 7 ? "line " : ".line ") + std::to_string(i) + std::string(70, 'x') + "\r\n";
    }
    body +=
        "--XX\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgcICQ==\r\n--XX--\r\n";
    const std::string gruss = "Gr\u00FC\u00DFe aus K\u00F6ln";
    // Fields, content, what the copy reads as, and whether it goes as received.
    const std::tuple<std::string, std::string, std::string, bool> parts[] = {
        {"Content-Type: multipart/mixed; boundary=\"XX\"\r\n", body, "line 1", true},
        {"Content-Type: text/html\r\n", std::string(5000, 'x'), std::string(5000, 'x'), false},
        {"Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n",
         gruss + "\r\n", gruss, p},
        {"Content-Type: multipart/mixed; boundary=b\r\n",
         "--b\r\n\r\nSee attached.\r\n--b\r\nContent-Type: application/octet-stream\r\n\r\n"
         "\x89PNG\xFF\xFE\x80\r\n--b--\r\n",
         "See attached.", p}};
    TempFolder folder;
    OutgoingMessage fwd = textMessage("fwd1@example.org, fwd2@example.org", "ignored");
    fwd.subject = "(VOREL FWD) Originally From: poster@example.org big";
    fwd.sourceFile = folder.file("1.msg");
    for (const auto& [fields, content, text, asReceived] : parts) {
        folder.write("1.msg",
                     "Received: from x by y\r\nDKIM-Signature: v=1; b=abc\r\n"
                     "From: Poster <poster@example.org>\r\nTo: list@example.org\r\nSubject: big\r\n"
                     "MIME-Version: 1.0\r\n" +
                         fields + "\r\n" + content);
        mail.send(fwd);
    }
    // Non-ASCII addresses go in UTF-8 if taken; else the domain as ASCII, a local part not at all.
    OutgoingMessage idn = textMessage("anna@m\u00FCller.example", "x");
    mail.send(idn);
    idn.to = "j\u00FCrgen@example.de";
    EXPECT_EQ(codeOf([&] { mail.send(idn); }), p ? -1 : 20002);
    EXPECT_EQ(
        r.notices.size() == 1 && r.notices[0].rfind("Cannot send to or from " + idn.to, 0) == 0,
        !p);
    fwd.sourceFile = folder.file("missing.msg");
    EXPECT_EQ(codeOf([&] { mail.send(fwd); }), mailcode::kFile);
    mail.disconnect();

    const auto got = smtp.received();
    ASSERT_EQ(got.size(), p ? 7u : 6u);
    EXPECT_EQ(got[5].rcptTo.at(0) + "|" + got[5].mailOptions,
              p ? "anna@m\u00FCller.example|SMTPUTF8" : "anna@xn--mller-kva.example|");
    if (p) {
        EXPECT_EQ(got[6].rcptTo.at(0) + "|" + got[6].mailOptions,
                  idn.to + "|BODY=8BITMIME SMTPUTF8");
        EXPECT_NE(got[6].data.find("To: " + idn.to + "\r\n"), std::string::npos) << got[6].data;
    }
    EXPECT_TRUE(p || smtp.sessionCount() == 1);
    EXPECT_EQ(got[1].session, got[4].session);
    EXPECT_EQ(got[0].mailFrom, "robot@example.org");
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"a@example.org", "copy@example.org"}));
    const std::string& d0 = got[0].data;
    EXPECT_TRUE(std::regex_match(
        headerFields(d0, {"To", "Cc", "Sender", "Date", "Message-Id"}),
        std::regex(R"(a@example.org\|copy@example.org\|robot@example.org\|[^<|][^|]*\|)"
                   R"(<202612545296_KESO\.[0-9.]+@example\.org>)")))
        << d0;
    EXPECT_NE(d0.find("\r\n\r\nThanks.\r\n.leading dot\r\n"), std::string::npos) << d0;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        const auto& [fields, content, text, asReceived] = parts[i];
        SCOPED_TRACE(text.substr(0, 20));
        const auto& d = got[i + 1];
        EXPECT_EQ(d.rcptTo, (std::vector<std::string>{"fwd1@example.org", "fwd2@example.org"}));
        EXPECT_EQ(
            headerFields(d.data, {"To", "From", "Subject", "Received", "DKIM-Signature", "Sender"}),
            "fwd1@example.org, fwd2@example.org|owner@example.org|" + fwd.subject +
                "|<none>|<none>|<none>")
            << "Sender equal to From is left out";
        EXPECT_NE(mime::parseMessage(d.data).bodyText.find(text), std::string::npos);
        // Compared by hand: a diff of megabytes is more than gtest can print.
        const std::string sent = d.data.substr(d.data.find("\r\n\r\n") + 4);
        EXPECT_EQ(sent == content, asReceived) << "size " << sent.size();
        const bool eightBit = std::ranges::any_of(sent, [](unsigned char c) { return c > 127; });
        EXPECT_EQ(d.mailOptions, eightBit ? "BODY=8BITMIME" : "") << "8-bit data is declared";
    }
}

INSTANTIATE_TEST_SUITE_P(Pipelining, SmtpModes, ::testing::Bool());

// A server that stops reading a chunk it refuses takes the rest of the stream as commands (Exim:
// "554 SMTP synchronization error") and drops the connection: the refusals read after the refused
// chunk say nothing about the messages they seem to answer, which have no result (sent again).
TEST(SmtpStream, RefusalsAfterARefusedChunkOnABrokenStreamAreNoResult) {
    ScriptedServer exim([](ScriptedServer::Peer& p) {
        p.say("220 exim.example\r\n");
        for (auto l = p.line(); l && l->rfind("BDAT", 0) != 0; l = p.line()) {
            if (l->rfind("EHLO", 0) == 0) {
                p.say("250-exim.example\r\n250-PIPELINING\r\n250 CHUNKING\r\n");
            }
        }
        std::string burst = "250 OK\r\n250 Accepted\r\n552 5.3.4 Message size exceeds limit\r\n";
        for (int k = 0; k < 3; ++k) {
            burst += "554 SMTP synchronization error\r\n";
        }
        p.say(burst);
        ::shutdown(p.fd, SHUT_WR);
        while (p.line()) {
        }
    });
    CurlMailComponent mail;
    mail.setTimeout(5);
    mail.smtpConnect(exim.address(), SmtpProtocol::Smtp, "", "");
    const std::vector<SendResult> results =
        mail.sendBatch({textMessage("a@example.org", "one"), textMessage("b@example.org", "two"),
                        textMessage("c@example.org", "three")});
    mail.disconnect();
    std::vector<int> codes;
    for (const SendResult& r : results) {
        codes.push_back(r.failure ? codeOf([&] { std::rethrow_exception(r.failure); }) : 0);
    }
    EXPECT_EQ(codes, (std::vector<int>{20002, 10057}));
}
