// The libcurl/GMime mail component against real loopback servers (Dovecot,
// aiosmtpd), plus its error table and server-address parser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "run/CurlMailComponent.h"
#include "run/ServerAddress.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

using namespace vorel;
using vorel::test::PopServer;
using vorel::test::SmtpServer;
using vorel::test::TempFolder;

namespace {

std::string popAddress(const PopServer& pop) {
    return pop.host() + ":" + std::to_string(pop.port());
}
std::string smtpAddress(const SmtpServer& smtp) {
    return smtp.host() + ":" + std::to_string(smtp.port());
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
    for (int k = 0; k < 100; ++k) {
        if (pop.log().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct Line {
    std::string text;
    TranscriptDirection dir;
};

// A component that records its transcript and notices.
struct Recorded {
    CurlMailComponent mail;
    std::vector<Line> lines;
    std::vector<std::string> notices;
    Recorded() {
        mail.setTranscriptHandler([this](const std::string& l, TranscriptDirection d) {
            lines.push_back({l, d});
        });
        mail.setNoticeHandler([this](const std::string& n) { notices.push_back(n); });
        mail.setTimeout(10);
    }
    bool sent(const std::string& prefix) const {
        for (const auto& l : lines) {
            if (l.dir == TranscriptDirection::Sent && l.text.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }
};

const char* kEncoded =
    "From: =?iso-8859-1?q?J=F6rg_M=FCller?= <joerg@example.de>\n"
    "To: Anna <anna@example.org>, \"Smith, Bob\" <bob@example.org>,\n"
    " carol@example.org\n"
    "Subject: =?utf-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=\n"
    "Auto-Submitted: auto-replied\n"
    "X-Mailer: =?utf-8?q?Mail=C3=A9r?= 1.0\n"
    "\n"
    "body\n";

const char* kQuotedPrintable =
    "From: Sender <s@example.org>\n"
    "To: list@example.org\n"
    "Subject: fields\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Hello caf=C3=A9\n"
    "%vorelcode%\n"
    "name=3DJ=C3=B6rg\n"
    "phone=3D555=\n"
    "1234\n";

const char* kMultipart =
    "From: Poster <poster@example.org>\n"
    "To: list@example.org\n"
    "Subject: with attachment\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\n"
    "\n"
    "--XX\n"
    "Content-Type: multipart/alternative; boundary=\"YY\"\n"
    "\n"
    "--YY\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "\n"
    "plain text\n"
    "--YY\n"
    "Content-Type: text/html; charset=us-ascii\n"
    "\n"
    "<p>html text</p>\n"
    "--YY--\n"
    "--XX\n"
    "Content-Type: application/octet-stream; name=\"a.bin\"\n"
    "Content-Disposition: attachment; filename=\"a.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "AAECAwQFBgcICQ==\n"
    "--XX--\n";

}  // namespace

namespace {
OutgoingMessage textMessage(const std::string& to, const std::string& body) {
    OutgoingMessage m;
    m.to = to;
    m.from = "owner@example.org";
    m.sender = "owner@example.org";
    m.subject = "Re: hello";
    m.messageRef = "202612545296_KESO";
    m.extraHeaders = {"X-Mailer: VOREL MAIL test"};
    m.body = body;
    return m;
}

std::string headerOf(const std::string& data, const std::string& name) {
    std::smatch m;
    if (std::regex_search(data, m,
                          std::regex("(^|\r\n)" + name + ": ([^\r\n]*)", std::regex::icase))) {
        return m[2];
    }
    return "<none>";
}
}  // namespace

// ------------------------------------------------------------- error table

TEST(MailErrorText, TableTextsAndFallback) {
    const std::vector<std::pair<int, std::string>> table = {
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
        {-5, "-5 Undefined Error"},
        {1, "1 Undefined Error"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(MailErrorText(code), text) << code;
    }
}

TEST(MailErrorCodeFor, TransportFailuresMapOntoTheTable) {
    struct Case {
        int curl;
        long response;
        MailPhase phase;
        int code;
    };
    const std::vector<Case> cases = {
        {6, 0, MailPhase::PopConnect, 11001},  // host not found
        {6, 0, MailPhase::SmtpConnect, 11001},
        {7, 0, MailPhase::PopConnect, 10065},  // refused / unreachable
        {7, 0, MailPhase::SmtpSend, 10065},
        {67, 0, MailPhase::PopConnect, 20012},     // login refused
        {67, 535, MailPhase::SmtpConnect, 20012},  // AUTH refused
        {28, 0, MailPhase::PopConnect, 0},         // no greeting in time
        {8, 0, MailPhase::PopConnect, 0},          // garbage greeting
        {28, 0, MailPhase::SmtpConnect, 10065},
        {28, 0, MailPhase::PopCommand, 10057},  // lost mid-session
        {56, 0, MailPhase::PopCommand, 10057},
        {52, 0, MailPhase::SmtpSend, 10057},
        {55, 550, MailPhase::SmtpSend, 20002},  // sender or recipient refused
        {55, 553, MailPhase::SmtpSend, 20002},
        {8, 554, MailPhase::SmtpSend, 20002},
        {55, 451, MailPhase::SmtpSend, 10057},   // temporary refusal: not the table's 20002
        {8, 0, MailPhase::PopCommand, 30008},    // -ERR inside a session
        {7, 0, MailPhase::PopCommand, 10057},    // libcurl tried to reconnect
        {60, 0, MailPhase::PopConnect, 30060},   // certificate not trusted
        {64, 0, MailPhase::SmtpConnect, 30064},  // STARTTLS required, not offered
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MailErrorCodeFor(c.curl, c.response, c.phase), c.code)
            << "curl " << c.curl << " response " << c.response << " phase "
            << static_cast<int>(c.phase);
    }
}

// ---------------------------------------------------------- server address

TEST(ServerAddress, ParsesEveryForm) {
    using S = ServerAddress::Security;
    using V = ServerAddress::Service;
    struct Case {
        std::string text;
        V service;
        std::string host;
        int port;
        S security;
        std::string url;
    };
    const std::vector<Case> cases = {
        {"mail.example.org", V::Pop3, "mail.example.org", 110, S::Opportunistic,
         "pop3://mail.example.org:110"},
        {" mail.example.org:1100 ", V::Pop3, "mail.example.org", 1100, S::Opportunistic,
         "pop3://mail.example.org:1100"},
        {"pop3://mail.example.org", V::Pop3, "mail.example.org", 110, S::Required,
         "pop3://mail.example.org:110"},
        {"POP3S://mail.example.org", V::Pop3, "mail.example.org", 995, S::Implicit,
         "pop3s://mail.example.org:995"},
        {"pop3s://mail.example.org:9995/", V::Pop3, "mail.example.org", 9995, S::Implicit,
         "pop3s://mail.example.org:9995"},
        {"smtp.example.org", V::Smtp, "smtp.example.org", 25, S::Opportunistic,
         "smtp://smtp.example.org:25"},
        {"smtp://smtp.example.org:587", V::Smtp, "smtp.example.org", 587, S::Required,
         "smtp://smtp.example.org:587"},
        {"smtps://smtp.example.org", V::Smtp, "smtp.example.org", 465, S::Implicit,
         "smtps://smtp.example.org:465"},
        {"[::1]:2525", V::Smtp, "::1", 2525, S::Opportunistic, "smtp://[::1]:2525"},
        {"::1", V::Pop3, "::1", 110, S::Opportunistic, "pop3://[::1]:110"},
    };
    for (const auto& c : cases) {
        ServerAddress a = ParseServerAddress(c.text, c.service);
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(a.security, c.security) << c.text;
        EXPECT_EQ(a.url(), c.url) << c.text;
    }
    for (const std::string bad : {"", "   ", "host:", "host:0", "host:70000", "host:12x",
                                  "imap://host", "smtp://host", "[::1", "bad host"}) {
        EXPECT_THROW(ParseServerAddress(bad, V::Pop3), std::invalid_argument) << bad;
    }
    EXPECT_THROW(ParseServerAddress("pop3://host", V::Smtp), std::invalid_argument);
}

TEST(ServerAddress, Loopback) {
    for (const char* h : {"127.0.0.1", "127.1.2.3", "::1", "localhost", "LOCALHOST"}) {
        EXPECT_TRUE(IsLoopbackHost(h)) << h;
    }
    for (const char* h : {"128.0.0.1", "10.0.0.1", "::2", "mail.example.org", "localhost.org"}) {
        EXPECT_FALSE(IsLoopbackHost(h)) << h;
    }
}

// ---------------------------------------------------------------- POP3

TEST(PopComponent, HeadersOfRealWorldMessages) {
    const std::filesystem::path corpus = "/usr/lib/python3.11/test/test_email/data";
    if (!std::filesystem::exists(corpus / "msg_01.txt")) {
        GTEST_SKIP() << "Python's e-mail test corpus is not installed";
    }
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(corpus)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("msg_", 0) == 0 && e.path().extension() == ".txt") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    PopServer pop;
    for (const auto& f : files) {
        pop.addMessage(vorel::test::readFile(f.string()));
    }
    Recorded r;
    r.mail.popConnect(popAddress(pop), pop.user(), pop.password());
    ASSERT_EQ(r.mail.messageCount(), static_cast<long>(files.size()));
    std::map<std::string, std::vector<std::string>> seen;
    for (long i = 1; i <= static_cast<long>(files.size()); ++i) {
        r.mail.selectMessage(i);
        r.mail.fetchHeader();
        seen[files[static_cast<std::size_t>(i - 1)].filename().string()] = {
            r.mail.from(), r.mail.to(), r.mail.subject()};
    }
    r.mail.disconnect();
    using V = std::vector<std::string>;
    // Comment-style names become (quoted) display names.
    EXPECT_EQ(seen["msg_01.txt"],
              (V{"\"John X. Doe\" <bbb@ddd.com>", "bbb@zzz.org", "This is a test message"}));
    EXPECT_EQ(seen["msg_05.txt"], (V{"foo", "baz", "bar"}));
    EXPECT_EQ(seen["msg_07.txt"],
              (V{"Barry <barry@digicool.com>", "Dingus Lovers <cravindogs@cravindogs.com>",
                 "Here is your dingus fish"}));
    EXPECT_EQ(seen["msg_41.txt"][0], "Allison Dunlap <xxx@example.com>");
    EXPECT_EQ(seen["msg_22.txt"][2], "");  // no Subject at all
    EXPECT_EQ(seen["msg_25.txt"][1],
              "linuxuser-admin@www.linux.org.uk, postmaster@zinfandel.lacita.com");
    // One login, one TOP per message, nothing else.
    EXPECT_TRUE(logShows(pop, "top=" + std::to_string(files.size()))) << pop.log();
}

TEST(PopComponent, DecodedHeaderValuesAndOtherFields) {
    PopServer pop;
    pop.addMessage(kEncoded);
    pop.addMessage("From: nobody@example.org\n\nno subject, no to\n");
    pop.addMessage("From: J\xf6rg <j@example.org>\nSubject: caf\xe9 cr\xe8me\nTo: x@y\n\nb\n");
    CurlMailComponent mail;
    mail.popConnect(popAddress(pop), pop.user(), pop.password());
    mail.selectMessage(1);
    mail.fetchHeader();
    EXPECT_EQ(mail.from(), "J\xc3\xb6rg M\xc3\xbcller <joerg@example.de>");
    EXPECT_EQ(mail.to(),
              "Anna <anna@example.org>, \"Smith, Bob\" <bob@example.org>, carol@example.org");
    EXPECT_EQ(mail.subject(),
              "Gr\xc3\xbc\xc3\x9f"
              "e aus K\xc3\xb6ln");
    EXPECT_TRUE(mail.hasHeaderField("auto-submitted"));
    EXPECT_EQ(mail.headerField("AUTO-SUBMITTED"), "auto-replied");
    EXPECT_EQ(mail.headerField("X-Mailer"), "Mail\xc3\xa9r 1.0");
    EXPECT_FALSE(mail.hasHeaderField("Precedence"));
    EXPECT_EQ(mail.headerField("Precedence"), "");
    // Callers overwrite the values; the next fetch sets them again.
    mail.setFrom("x@y");
    mail.fetchHeader();
    EXPECT_EQ(mail.from(), "J\xc3\xb6rg M\xc3\xbcller <joerg@example.de>");

    mail.selectMessage(2);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject(), "");
    EXPECT_EQ(mail.to(), "");
    EXPECT_FALSE(mail.hasHeaderField("Auto-Submitted")) << "fields of the previous message";

    // Undeclared 8-bit header text is read as Windows-1252.
    mail.selectMessage(3);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject(), "caf\xc3\xa9 cr\xc3\xa8me");
    EXPECT_EQ(mail.from(), "J\xc3\xb6rg <j@example.org>");
    mail.disconnect();
}

TEST(PopComponent, DeletionsAreCommittedAtDisconnectOnly) {
    PopServer pop;
    for (int i = 1; i <= 4; ++i) {
        pop.addMessage("Subject: m" + std::to_string(i) + "\n\nbody\n");
    }
    Recorded r;
    r.mail.setTranscriptOn(true);
    r.mail.popConnect(popAddress(pop), pop.user(), pop.password());
    r.mail.selectMessage(2);
    r.mail.deleteMessage();
    r.mail.selectMessage(4);
    r.mail.deleteMessage();
    r.mail.deleteMessage();  // harmless: no second DELE, the session goes on
    EXPECT_EQ(r.mail.messageCount(), 2);
    EXPECT_EQ(pop.messageCount(), 4u);
    // A deleted message is not asked for again (the -ERR would end the session).
    r.mail.selectMessage(2);
    EXPECT_EQ(codeOf([&] { r.mail.fetchHeader(); }), mailcode::kMessageDeleted);
    r.mail.selectMessage(3);
    r.mail.fetchHeader();
    EXPECT_EQ(r.mail.subject(), "m3");
    r.mail.disconnect();
    EXPECT_TRUE(r.sent("QUIT"));
    EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                            [](const Line& l) { return l.text == "DELE 4\r\n"; }),
              1);
    auto left = pop.messages();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_NE(left[0].find("Subject: m1"), std::string::npos);
    EXPECT_NE(left[1].find("Subject: m3"), std::string::npos);
    // One connection for the whole session.
    std::size_t logins = 0;
    for (std::size_t p = 0; (p = pop.log().find("Login: user=<", p)) != std::string::npos; ++p) {
        ++logins;
    }
    EXPECT_EQ(logins, 1u) << pop.log();
}

// A scan as the run makes it: headers in order, with deletions and whole
// messages in between, while headers are being read ahead.
TEST(PopComponent, ScanWithDeletionsAndDownloadsInBetween) {
    PopServer pop;
    const int n = 150;
    for (int i = 1; i <= n; ++i) {
        pop.addMessage("Subject: m" + std::to_string(i) + "\n\nbody " + std::to_string(i) + "\n");
    }
    CurlMailComponent mail;
    mail.popConnect(popAddress(pop), pop.user(), pop.password());
    ASSERT_EQ(mail.messageCount(), n);
    for (int i = 1; i <= n; ++i) {
        mail.selectMessage(i);
        mail.fetchHeader();
        ASSERT_EQ(mail.subject(), "m" + std::to_string(i));
        if (i % 5 == 0) {
            ASSERT_EQ(mail.bodyText(), "body " + std::to_string(i) + "\r\n");
        }
        if (i % 3 == 0) {
            mail.deleteMessage();
        }
    }
    EXPECT_EQ(mail.messageCount(), n - n / 3);
    mail.selectMessage(4);
    mail.fetchHeader();  // going back: asked for again
    EXPECT_EQ(mail.subject(), "m4");
    mail.disconnect();
    const auto left = pop.messages();
    ASSERT_EQ(left.size(), static_cast<std::size_t>(n - n / 3));
    EXPECT_NE(left[2].find("Subject: m4\r\n"), std::string::npos);
    EXPECT_TRUE(logShows(pop, "top=" + std::to_string(n + 1) + "/"))
        << "every header asked for once:\n"
        << pop.log();
}

TEST(PopComponent, LargeMessageFetchedSavedAndSent) {
    PopServer pop;
    std::string body;
    for (int i = 0; i < 60000; ++i) {
        body += (i % 7 == 0 ? "." : "") + std::string("line ") + std::to_string(i) + " " +
                std::string(70, 'x') + "\n";
    }
    pop.addMessage("Subject: big\nFrom: a@example.org\n\n" + body);
    SmtpServer smtp;
    TempFolder folder;
    CurlMailComponent mail;
    mail.popConnect(popAddress(pop), pop.user(), pop.password());
    mail.selectMessage(1);
    mail.fetchMessage();
    mail.saveMessageFile(folder.file("1.msg"));
    mail.disconnect();
    const std::string saved = folder.read("1.msg");
    EXPECT_EQ(saved, pop.messages()[0]);
    EXPECT_GT(saved.size(), 4u << 20);
    OutgoingMessage fwd = textMessage("to@example.org", "");
    fwd.sourceFile = folder.file("1.msg");
    mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Smtp, "", "");
    mail.send(fwd);
    mail.disconnect();
    const auto received = smtp.received();
    ASSERT_EQ(received.size(), 1u);
    const std::string& got = received[0].data;
    // Compared by hand: a diff of megabytes is more than gtest can print.
    const std::string sent = got.substr(got.find("\r\n\r\n"));
    const std::string kept = saved.substr(saved.find("\r\n\r\n"));
    const auto diff = std::mismatch(sent.begin(), sent.end(), kept.begin(), kept.end());
    EXPECT_TRUE(sent == kept) << "sizes " << sent.size() << " and " << kept.size()
                              << ", first difference at " << (diff.first - sent.begin()) << ": "
                              << std::string(diff.first, std::min(diff.first + 40, sent.end()));
}

TEST(PopComponent, WholeMessageFetchedOnceAndSavedBothWays) {
    PopServer pop;
    pop.addMessage(kQuotedPrintable);
    pop.addMessage(kMultipart);
    TempFolder folder;
    CurlMailComponent mail;
    mail.popConnect(popAddress(pop), pop.user(), pop.password());
    mail.selectMessage(1);
    mail.fetchHeader();
    mail.setFrom("s@example.org");
    mail.fetchMessage();
    EXPECT_EQ(mail.from(), "Sender <s@example.org>") << "fetchMessage resets From";
    mail.setSubject("changed");
    mail.fetchMessage();
    EXPECT_EQ(mail.subject(), "fields") << "even from the cached copy";
    mail.setFrom("s@example.org");
    mail.saveWorkFile(folder.file("temp.msg"));
    EXPECT_EQ(mail.from(), "s@example.org") << "saving does not reset From";
    mail.saveMessageFile(folder.file("1.msg"));
    EXPECT_EQ(mail.bodyText(),
              "Hello caf\xc3\xa9\r\n%vorelcode%\r\nname=J\xc3\xb6rg\r\nphone=5551234\r\n");
    EXPECT_EQ(mail.extraCount(), 0);

    const std::string work = folder.read("temp.msg");
    EXPECT_NE(work.find("Subject: fields\r\n"), std::string::npos) << work;
    EXPECT_NE(work.find("\r\n\r\nHello caf\xc3\xa9\r\n%vorelcode%\r\nname=J\xc3\xb6rg\r\n"
                        "phone=5551234\r\n"),
              std::string::npos)
        << work;
    EXPECT_EQ(folder.read("1.msg"), pop.messages()[0]) << "the message exactly as received";

    mail.selectMessage(2);
    EXPECT_EQ(mail.bodyText(), "plain text") << "the line end before a boundary is the boundary's";
    EXPECT_EQ(mail.extraCount(), 1) << "the html alternative is not an attachment";
    mail.fetchMessage();
    EXPECT_EQ(mail.subject(), "with attachment");
    // The work file is replaced whole, whether the new one is longer or shorter.
    mail.saveWorkFile(folder.file("temp.msg"));
    mail.saveWorkFile(folder.file("fresh.msg"));
    EXPECT_EQ(folder.read("temp.msg"), folder.read("fresh.msg"));
    mail.selectMessage(1);
    mail.saveWorkFile(folder.file("temp.msg"));
    EXPECT_EQ(folder.read("temp.msg"), work);
    mail.disconnect();
    EXPECT_TRUE(logShows(pop, "retr=3/")) << "one RETR per selection:\n" << pop.log();
}

TEST(PopComponent, TranscriptCarriesBothDirectionsAsLines) {
    PopServer pop;
    pop.addMessage("Subject: x\n\ny\n");
    Recorded r;
    r.mail.setTranscriptOn(true);
    r.mail.popConnect(popAddress(pop), pop.user(), pop.password());
    r.mail.selectMessage(1);
    r.mail.fetchHeader();
    r.mail.setTranscriptOn(false);
    const std::size_t before = r.lines.size();
    r.mail.fetchMessage();
    EXPECT_EQ(r.lines.size(), before) << "nothing while off";
    r.mail.setTranscriptOn(true);
    r.mail.disconnect();
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines[0].dir, TranscriptDirection::Received);
    EXPECT_EQ(r.lines[0].text.rfind("+OK", 0), 0u);
    for (const auto& l : r.lines) {
        ASSERT_GE(l.text.size(), 2u);
        EXPECT_EQ(l.text.substr(l.text.size() - 2), "\r\n");
        EXPECT_EQ(l.text.find('\n'), l.text.size() - 1) << "one line per call";
    }
    // The credentials are in the transcript unmasked; the run masks them.
    EXPECT_TRUE(r.sent("AUTH PLAIN") || r.sent("USER")) << "login visible";
    EXPECT_TRUE(r.sent("TOP 1 0"));
    EXPECT_FALSE(r.sent("RETR")) << "sent while the transcript was off";
    EXPECT_TRUE(r.sent("QUIT"));
    EXPECT_TRUE(r.notices.empty()) << "no clear-text notice for loopback";
}

TEST(PopComponent, LoginAndConnectFailures) {
    PopServer pop;
    CurlMailComponent mail;
    mail.setTimeout(5);
    EXPECT_EQ(codeOf([&] { mail.popConnect(popAddress(pop), pop.user(), "wrong"); }), 20012);
    EXPECT_EQ(codeOf([&] { mail.popConnect(popAddress(pop), "nobody", pop.password()); }), 20012);
    EXPECT_EQ(codeOf([&] { mail.popConnect("no-such-host.invalid", "u", "p"); }), 11001);
    EXPECT_EQ(codeOf([&] { mail.popConnect("bad host name", "u", "p"); }), 11001);
    // A port nobody listens on.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string closedPort = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    EXPECT_EQ(codeOf([&] { mail.popConnect(closedPort, "u", "p"); }), 10065);
    EXPECT_EQ(codeOf([&] { mail.smtpConnect(closedPort, SmtpProtocol::Smtp, "", ""); }), 10065);
    // Now it listens but never says a word.
    ASSERT_EQ(::listen(fd, 4), 0);
    mail.setTimeout(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(codeOf([&] { mail.popConnect(closedPort, "u", "p"); }), 0);
    EXPECT_EQ(codeOf([&] { mail.smtpConnect(closedPort, SmtpProtocol::Smtp, "", ""); }), 10065);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    ::close(fd);
    // Nothing usable is left behind by a failed connect.
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057);
    EXPECT_EQ(codeOf([&] { mail.send(OutgoingMessage{}); }), 10057);
}

TEST(PopComponent, ServerKilledMidSessionEndsTheSession) {
    auto pop = std::make_unique<PopServer>();
    pop->addMessage("Subject: one\n\nx\n");
    pop->addMessage("Subject: two\n\ny\n");
    CurlMailComponent mail;
    mail.setTimeout(5);
    mail.popConnect(popAddress(*pop), pop->user(), pop->password());
    mail.selectMessage(1);
    mail.fetchHeader();
    mail.deleteMessage();
    pop->kill();
    mail.selectMessage(2);
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), 10057);
    EXPECT_EQ(codeOf([&] { mail.fetchMessage(); }), 10057) << "no silent new session";
    EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057);
    EXPECT_NO_THROW(mail.disconnect());
    EXPECT_EQ(pop->messageCount(), 2u) << "a deletion of a lost session is not committed";
}

TEST(PopComponent, NoMessageSelectedOrOutOfRange) {
    PopServer pop;
    pop.addMessage("Subject: only\n\nx\n");
    CurlMailComponent mail;
    mail.popConnect(popAddress(pop), pop.user(), pop.password());
    EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), mailcode::kNoMessage);
    mail.selectMessage(2);
    EXPECT_EQ(codeOf([&] { mail.fetchMessage(); }), mailcode::kNoMessage);
    mail.selectMessage(1);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject(), "only") << "the session survives the refusals";
    mail.disconnect();
}

// ---------------------------------------------------------------- TLS

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        PopServer::Options o;
        o.tls = true;
        pop = std::make_unique<PopServer>(o);
        pop->addMessage("Subject: secret\n\nx\n");
    }
    void TearDown() override { ::unsetenv("VOREL_CA_FILE"); }
    std::unique_ptr<PopServer> pop;
};

TEST_F(TlsTest, ImplicitAndStartTlsWithTheCaFile) {
    ::setenv("VOREL_CA_FILE", pop->caFile().c_str(), 1);
    for (const std::string& address :
         {"pop3s://127.0.0.1:" + std::to_string(pop->tlsPort()),
          "pop3://127.0.0.1:" + std::to_string(pop->port()), popAddress(*pop)}) {
        Recorded r;
        r.mail.setTranscriptOn(true);
        r.mail.popConnect(address, pop->user(), pop->password());
        r.mail.selectMessage(1);
        r.mail.fetchHeader();
        EXPECT_EQ(r.mail.subject(), "secret") << address;
        r.mail.disconnect();
        const bool implicit = address.rfind("pop3s", 0) == 0;
        EXPECT_EQ(r.sent("STLS"), !implicit) << address;
        EXPECT_TRUE(r.notices.empty()) << address;
    }
}

TEST_F(TlsTest, UntrustedCertificateFailsClearly) {
    Recorded r;
    const int code = codeOf([&] {
        r.mail.popConnect("pop3s://127.0.0.1:" + std::to_string(pop->tlsPort()), pop->user(),
                          pop->password());
    });
    EXPECT_EQ(code, mailcode::kCurlBase + 60);
    ASSERT_EQ(r.notices.size(), 1u);
    EXPECT_NE(r.notices[0].find("Secure connection to 127.0.0.1 failed"), std::string::npos);
    // Never falls back to clear text on the STLS port either.
    EXPECT_EQ(codeOf([&] { r.mail.popConnect(popAddress(*pop), pop->user(), pop->password()); }),
              mailcode::kCurlBase + 60);
    EXPECT_FALSE(r.sent("AUTH"));
}

TEST(Tls, RequiredStartTlsFailsWithoutIt) {
    PopServer pop;  // no TLS at all
    Recorded r;
    EXPECT_EQ(codeOf([&] {
                  r.mail.popConnect("pop3://127.0.0.1:" + std::to_string(pop.port()), pop.user(),
                                    pop.password());
              }),
              mailcode::kCurlBase + 64);
    ASSERT_EQ(r.notices.size(), 1u);
    EXPECT_FALSE(r.sent("AUTH")) << "no credentials in clear text";
}

// ---------------------------------------------------------------- SMTP

// Parameter: the server advertises PIPELINING.
class SmtpModes : public ::testing::TestWithParam<bool> {};

TEST_P(SmtpModes, TextMessagesOnOneConnection) {
    SmtpServer::Options options;
    options.pipelining = GetParam();
    SmtpServer smtp(options);
    CurlMailComponent mail;
    mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Smtp, "", "");
    OutgoingMessage ascii = textMessage("a@example.org", "Thanks.\r\n.leading dot\r\n");
    ascii.copyTo = "copy@example.org";
    mail.send(ascii);
    OutgoingMessage utf8 = textMessage("B\xc3\xa4r <b@example.org>",
                                       "Gr\xc3\xbc\xc3\x9f"
                                       "e\r\n" +
                                           std::string(1200, 'x') + "\r\n");
    utf8.subject =
        "\xc3\x9c"
        "ber";
    utf8.sender = "robot@example.org";
    mail.send(utf8);
    mail.disconnect();

    auto got = smtp.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(smtp.sessionCount(), 1);
    EXPECT_EQ(got[0].mailFrom, "owner@example.org");
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"a@example.org", "copy@example.org"}));
    const std::string& d0 = got[0].data;
    EXPECT_EQ(headerOf(d0, "To"), "a@example.org");
    EXPECT_EQ(headerOf(d0, "Cc"), "copy@example.org");
    EXPECT_EQ(headerOf(d0, "Sender"), "<none>") << "Sender equal to From is left out";
    EXPECT_EQ(headerOf(d0, "Subject"), "Re: hello");
    EXPECT_EQ(headerOf(d0, "X-Mailer"), "VOREL MAIL test");
    EXPECT_EQ(headerOf(d0, "MIME-Version"), "1.0");
    EXPECT_NE(headerOf(d0, "Date"), "<none>");
    EXPECT_TRUE(std::regex_match(headerOf(d0, "Message-Id"),
                                 std::regex(R"(<202612545296_KESO\.[0-9.]+@example\.org>)")))
        << headerOf(d0, "Message-Id");
    EXPECT_NE(headerOf(d0, "Message-Id"), headerOf(got[1].data, "Message-Id"));
    EXPECT_NE(headerOf(d0, "Content-Type").find("text/plain"), std::string::npos);
    EXPECT_NE(d0.find("\r\n\r\nThanks.\r\n.leading dot\r\n"), std::string::npos) << d0;

    const std::string& d1 = got[1].data;
    EXPECT_EQ(got[1].mailFrom, "robot@example.org");
    EXPECT_EQ(headerOf(d1, "Sender"), "robot@example.org");
    EXPECT_NE(headerOf(d1, "Content-Type").find("charset=utf-8"), std::string::npos) << d1;
    EXPECT_EQ(headerOf(d1, "Content-Transfer-Encoding"), "quoted-printable");
    EXPECT_NE(headerOf(d1, "Subject").find("=?"), std::string::npos) << "encoded word";
    EXPECT_NE(d1.find("Gr=C3=BC=C3=9Fe"), std::string::npos) << d1;
    for (std::size_t p = 0, nl; (nl = d1.find("\r\n", p)) != std::string::npos; p = nl + 2) {
        ASSERT_LE(nl - p, 998u) << "line too long";
    }
}

TEST(SmtpComponent, ForwardedMessageKeepsBodyAndAttachments) {
    PopServer pop;
    pop.addMessage(std::string("Received: from x by y\nDKIM-Signature: v=1; b=abc\n") + kMultipart);
    SmtpServer smtp;
    TempFolder folder;
    CurlMailComponent mail;
    mail.popConnect(popAddress(pop), pop.user(), pop.password());
    mail.selectMessage(1);
    mail.fetchMessage();
    mail.saveMessageFile(folder.file("1.msg"));
    mail.disconnect();

    OutgoingMessage fwd;
    fwd.to = "fwd1@example.org, fwd2@example.org";
    fwd.from = "owner@example.org";
    fwd.sender = "owner@example.org";
    fwd.subject = "(VOREL FWD) Originally From: poster@example.org with attachment";
    fwd.messageRef = "ref_KESO";
    fwd.extraHeaders = {"X-Mailer: VOREL MAIL test"};
    fwd.sourceFile = folder.file("1.msg");
    fwd.body = "ignored";
    mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Smtp, "", "");
    mail.send(fwd);
    fwd.sourceFile = folder.file("missing.msg");
    EXPECT_EQ(codeOf([&] { mail.send(fwd); }), mailcode::kFile);
    mail.disconnect();

    auto got = smtp.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"fwd1@example.org", "fwd2@example.org"}));
    const std::string& d = got[0].data;
    EXPECT_EQ(headerOf(d, "To"), "fwd1@example.org, fwd2@example.org");
    EXPECT_EQ(headerOf(d, "From"), "owner@example.org");
    EXPECT_EQ(headerOf(d, "Subject"), fwd.subject);
    EXPECT_EQ(headerOf(d, "X-Mailer"), "VOREL MAIL test");
    EXPECT_EQ(headerOf(d, "Received"), "<none>");
    EXPECT_EQ(headerOf(d, "DKIM-Signature"), "<none>");
    EXPECT_EQ(d.find("Poster <poster@example.org>"), std::string::npos) << "old From gone";
    EXPECT_NE(headerOf(d, "Content-Type").find("multipart/mixed"), std::string::npos);
    // The body byte for byte.
    const std::string original = pop.messages().empty() ? folder.read("1.msg") : "";
    const std::string saved = folder.read("1.msg");
    const std::string body = saved.substr(saved.find("\r\n\r\n"));
    EXPECT_EQ(d.substr(d.find("\r\n\r\n")), body);
    EXPECT_NE(d.find("AAECAwQFBgcICQ=="), std::string::npos);
}

// With and without PIPELINING: any refused address fails the whole message
// (nothing is delivered to the others), and a new session sends again.
TEST_P(SmtpModes, RefusedRecipientOrSender) {
    SmtpServer::Options o;
    o.refuseRecipients = {"gone@example.org"};
    o.refuseSenders = {"spammer@example.org"};
    o.pipelining = GetParam();
    SmtpServer smtp(o);
    CurlMailComponent mail;
    auto reconnect = [&] {
        mail.disconnect();
        mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Smtp, "", "");
    };
    reconnect();
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("gone@example.org", "x")); }), 20002);
    reconnect();
    OutgoingMessage spam = textMessage("a@example.org", "x");
    spam.from = spam.sender = "spammer@example.org";
    EXPECT_EQ(codeOf([&] { mail.send(spam); }), 20002);
    reconnect();
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("ok@example.org, gone@example.org", "x")); }),
              20002);
    reconnect();
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("", "x")); }), 20002) << "no recipient";
    mail.send(textMessage("a@example.org", "fine"));
    mail.send(textMessage("b@example.org", "fine too"));
    mail.disconnect();
    auto got = smtp.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"a@example.org"});
    EXPECT_EQ(got[1].rcptTo, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(got[0].session, got[1].session);
}

INSTANTIATE_TEST_SUITE_P(Pipelining, SmtpModes, ::testing::Bool());

TEST(SmtpComponent, RefusedMessageStaysRefusedOnTheSameSessionWithoutPipelining) {
    SmtpServer::Options o;
    o.refuseRecipients = {"gone@example.org"};
    SmtpServer smtp(o);
    CurlMailComponent mail;
    mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Smtp, "", "");
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("gone@example.org", "x")); }), 20002);
    mail.send(textMessage("a@example.org", "after RSET"));
    mail.disconnect();
    EXPECT_EQ(smtp.received().size(), 1u);
    EXPECT_EQ(smtp.sessionCount(), 1);
}

TEST(MailErrorCodeForReply, SmtpRefusals) {
    const std::vector<std::pair<int, int>> table = {{550, 20002}, {553, 20002}, {554, 20002},
                                                    {530, 20002}, {421, 10057}, {450, 40450},
                                                    {451, 40451}, {452, 40452}};
    for (const auto& [reply, code] : table) {
        EXPECT_EQ(MailErrorCodeForReply(reply), code) << reply;
    }
}

TEST(SmtpComponent, EsmtpAuthenticates) {
    SmtpServer::Options o;
    o.authUser = "alice";
    o.authPassword = "s3cret";
    SmtpServer smtp(o);
    {
        Recorded r;
        r.mail.setTranscriptOn(true);
        r.mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Esmtp, "alice", "s3cret");
        r.mail.send(textMessage("a@example.org", "authenticated"));
        r.mail.disconnect();
        EXPECT_TRUE(r.sent("AUTH ")) << "AUTH exchange in the transcript";
        EXPECT_TRUE(r.sent("EHLO "));
    }
    CurlMailComponent mail;
    EXPECT_EQ(
        codeOf([&] { mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Esmtp, "alice", "wrong"); }),
        20012);
    // Plain SMTP does not authenticate: this server refuses the mail.
    mail.smtpConnect(smtpAddress(smtp), SmtpProtocol::Smtp, "alice", "s3cret");
    EXPECT_EQ(codeOf([&] { mail.send(textMessage("a@example.org", "x")); }), 20002);
    mail.disconnect();
    EXPECT_EQ(smtp.received().size(), 1u);
}

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
            while (buf.find("\r\n") == std::string::npos) {
                char chunk[4096];
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0) {
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
            std::size_t off = 0;
            while (off < text.size()) {
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
                } else if (l.rfind("USER", 0) == 0 || l.rfind("PASS", 0) == 0) {
                    send("+OK\r\n");
                } else if (l == "LIST") {
                    send("+OK\r\n" + list + ".\r\n");
                    return;
                } else {
                    send("-ERR unexpected\r\n");
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

}  // namespace

TEST(PopMisbehaving, ErrReplyFailsOneCommandOnly) {
    std::vector<std::string> seen;
    {
        ScriptedPop server([&](ScriptedPop::Conn& c) {
            c.login("1 30\r\n2 30\r\n");
            for (std::string l = c.line(); !l.empty(); l = c.line()) {
                seen.push_back(l);
                if (l == "TOP 1 0") {
                    c.send("-ERR no such message\r\n");
                } else if (l == "TOP 2 0") {
                    c.send("+OK\r\nSubject: two\r\n..dotted: yes\r\n\r\n.\r\n");
                } else if (l == "QUIT") {
                    c.send("+OK bye\r\n");
                    return;
                }
            }
        });
        CurlMailComponent mail;
        mail.setTimeout(5);
        mail.popConnect(server.address(), "u", "p");
        mail.selectMessage(1);
        EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), 30008);
        mail.selectMessage(2);
        mail.fetchHeader();
        EXPECT_EQ(mail.subject(), "two");
        EXPECT_TRUE(mail.hasHeaderField(".dotted")) << "dot-unstuffed";
        EXPECT_NO_THROW(mail.disconnect());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"TOP 1 0", "TOP 2 0", "QUIT"}))
        << "no new login, no QUIT before the end";
}

// DELE is not waited for on a pipelining server; a refusal comes out of
// disconnect, after the QUIT has committed the other deletions.
TEST(PopMisbehaving, RefusedPipelinedDeleteIsReportedAtDisconnect) {
    std::vector<std::string> seen;
    {
        ScriptedPop server([&](ScriptedPop::Conn& c) {
            c.login("1 30\r\n2 30\r\n", true);
            for (std::string l = c.line(); !l.empty(); l = c.line()) {
                seen.push_back(l);
                if (l == "DELE 1") {
                    c.send("-ERR locked\r\n");
                } else if (l.rfind("TOP 2", 0) == 0) {
                    c.send("+OK\r\nSubject: two\r\n\r\n.\r\n");
                } else {
                    c.send("+OK\r\n");
                    if (l == "QUIT") {
                        return;
                    }
                }
            }
        });
        CurlMailComponent mail;
        mail.setTimeout(5);
        mail.popConnect(server.address(), "u", "p");
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

TEST(PopMisbehaving, BrokenRepliesEndTheSession) {
    struct Case {
        const char* name;
        std::string list;
        std::function<void(ScriptedPop::Conn&)> answer;  // to the first command after LIST
        std::function<void(CurlMailComponent&)> call;
        int code;
    };
    auto header = [](CurlMailComponent& m) {
        m.selectMessage(1);
        m.fetchHeader();
    };
    auto whole = [](CurlMailComponent& m) {
        m.selectMessage(1);
        m.fetchMessage();
    };
    const std::vector<Case> cases = {
        {"garbage", "1 30\r\n", [](auto& c) { c.send("HELLO THERE\r\n"); }, header, 10057},
        {"closed", "1 30\r\n", [](auto& c) { ::shutdown(c.fd, SHUT_RDWR); }, header, 10057},
        {"silent", "1 30\r\n", [](auto&) {}, header, 10057},
        {"retr cut by close", "1 5000\r\n",
         [](auto& c) {
             c.send("+OK\r\nSubject: x\r\n\r\n" + std::string(100, 'a'));
             ::shutdown(c.fd, SHUT_RDWR);
         },
         whole, 10057},
        {"retr shorter than listed", "1 5000\r\n",
         [](auto& c) { c.send("+OK\r\nSubject: x\r\n\r\nshort\r\n.\r\n"); }, whole, 10057},
        {"endless header", "1 10\r\n",
         [](auto& c) {
             c.send("+OK\r\n");
             for (int i = 0; i < 40000; ++i) {
                 c.send("X-Filler: " + std::string(60, 'f') + "\r\n");
             }
         },
         header, 10057},
    };
    for (const auto& tc : cases) {
        ScriptedPop server([&](ScriptedPop::Conn& c) {
            c.login(tc.list);
            c.line();
            tc.answer(c);
        });
        CurlMailComponent mail;
        mail.setTimeout(1);
        mail.popConnect(server.address(), "u", "p");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(codeOf([&] { tc.call(mail); }), tc.code) << tc.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << tc.name;
        EXPECT_EQ(codeOf([&] { mail.fetchHeader(); }), 10057) << tc.name << ": session over";
        EXPECT_NO_THROW(mail.disconnect()) << tc.name;
    }
}

TEST(PopMisbehaving, GarbageGreetingAndRefusedQuit) {
    {
        ScriptedPop server([](ScriptedPop::Conn& c) { c.send("220 this is SMTP\r\n"); });
        CurlMailComponent mail;
        mail.setTimeout(2);
        EXPECT_EQ(codeOf([&] { mail.popConnect(server.address(), "u", "p"); }), 0);
    }
    {
        ScriptedPop server([](ScriptedPop::Conn& c) {
            c.login("1 30\r\n");
            c.line();  // DELE 1
            c.send("+OK\r\n");
            c.line();  // QUIT
            c.send("-ERR could not expunge\r\n");
        });
        CurlMailComponent mail;
        mail.setTimeout(2);
        mail.popConnect(server.address(), "u", "p");
        mail.selectMessage(1);
        mail.deleteMessage();
        EXPECT_EQ(codeOf([&] { mail.disconnect(); }), 30008) << "deletions not committed";
    }
    {
        ScriptedPop server([](ScriptedPop::Conn& c) {
            c.send("+OK\r\n");
            for (std::string l = c.line(); !l.empty(); l = c.line()) {
                c.send(l == "CAPA"   ? "+OK\r\nUSER\r\n.\r\n"
                       : l == "LIST" ? "-ERR busy\r\n"
                                     : "+OK\r\n");
            }
        });
        CurlMailComponent mail;
        mail.setTimeout(2);
        EXPECT_EQ(codeOf([&] { mail.popConnect(server.address(), "u", "p"); }), 30008);
        EXPECT_EQ(codeOf([&] { mail.messageCount(); }), 10057) << "no session without a listing";
    }
}

// ---------------------------------------------------------------- SMTP TLS

TEST(SmtpTls, ImplicitAndStartTlsAndCertificateChecks) {
    SmtpServer::Options o;
    o.tls = true;
    o.authUser = "alice";
    o.authPassword = "s3cret";
    SmtpServer smtp(o);
    ASSERT_NE(smtp.tlsPort(), 0);
    const std::string smtps = "smtps://127.0.0.1:" + std::to_string(smtp.tlsPort());
    const std::string starttls = "smtp://127.0.0.1:" + std::to_string(smtp.port());
    {
        Recorded r;
        EXPECT_EQ(
            codeOf([&] { r.mail.smtpConnect(smtps, SmtpProtocol::Esmtp, "alice", "s3cret"); }),
            mailcode::kCurlBase + 60);
        ASSERT_EQ(r.notices.size(), 1u);
        EXPECT_NE(r.notices[0].find("Secure connection to 127.0.0.1 failed"), std::string::npos);
        EXPECT_EQ(
            codeOf([&] { r.mail.smtpConnect(starttls, SmtpProtocol::Esmtp, "alice", "s3cret"); }),
            mailcode::kCurlBase + 60);
        EXPECT_FALSE(r.sent("AUTH")) << "no credentials before the certificate is trusted";
    }
    ::setenv("VOREL_CA_FILE", smtp.caFile().c_str(), 1);
    for (const std::string& address : {smtps, starttls, smtpAddress(smtp)}) {
        Recorded r;
        r.mail.setTranscriptOn(true);
        r.mail.smtpConnect(address, SmtpProtocol::Esmtp, "alice", "s3cret");
        r.mail.send(textMessage("a@example.org", "over TLS"));
        r.mail.disconnect();
        EXPECT_EQ(r.sent("STARTTLS"), address != smtps) << address;
        EXPECT_TRUE(r.sent("AUTH")) << address;
        EXPECT_TRUE(r.notices.empty()) << address;
    }
    ::unsetenv("VOREL_CA_FILE");
    EXPECT_EQ(smtp.received().size(), 3u);

    SmtpServer clear;  // no STARTTLS offered
    CurlMailComponent mail;
    EXPECT_EQ(codeOf([&] {
                  mail.smtpConnect("smtp://127.0.0.1:" + std::to_string(clear.port()),
                                   SmtpProtocol::Smtp, "", "");
              }),
              mailcode::kCurlBase + 64);
}
