// Smoke tests of the loopback servers the end-to-end tests run against.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "support/TestServers.h"

using vorel::test::PopServer;
using vorel::test::SmtpServer;

namespace {

// A line-oriented client on a raw socket.
class Line {
public:
    explicit Line(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        timeval tv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ADD_FAILURE() << "connect to " << port;
        }
    }
    ~Line() { ::close(fd_); }
    void send(const std::string& text) {
        ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // One reply line without its CR LF.
    std::string line() {
        while (buf_.find("\r\n") == std::string::npos) {
            char chunk[4096];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                std::string rest = buf_;
                buf_.clear();
                return rest;
            }
            buf_.append(chunk, static_cast<std::size_t>(n));
        }
        std::size_t end = buf_.find("\r\n");
        std::string out = buf_.substr(0, end);
        buf_.erase(0, end + 2);
        return out;
    }
    // The last line of an SMTP reply (continuation lines skipped).
    std::string reply() {
        std::string l = line();
        while (l.size() > 3 && l[3] == '-') {
            l = line();
        }
        return l;
    }
    std::string ask(const std::string& cmd) {
        send(cmd + "\r\n");
        return reply();
    }

private:
    int fd_ = -1;
    std::string buf_;
};

size_t collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

}  // namespace

TEST(TestServers, PopServesSeededMessagesAndCommitsDeletion) {
    PopServer pop;
    pop.addMessage("From: a@x.org\nSubject: one\n\nbody one\n");
    pop.addMessage("From: b@x.org\nSubject: two\n\nbody two\n");
    ASSERT_EQ(pop.messageCount(), 2u);
    {
        Line c(pop.port());
        EXPECT_EQ(c.line().substr(0, 3), "+OK");
        EXPECT_EQ(c.ask("USER " + pop.user()).substr(0, 3), "+OK");
        EXPECT_EQ(c.ask("PASS " + pop.password()).substr(0, 3), "+OK");
        EXPECT_EQ(c.ask("STAT").substr(0, 5), "+OK 2");
        c.send("TOP 2 0\r\n");
        EXPECT_EQ(c.line().substr(0, 3), "+OK");
        EXPECT_EQ(c.line(), "From: b@x.org");
        EXPECT_EQ(c.line(), "Subject: two");
        EXPECT_EQ(c.line(), "");
        EXPECT_EQ(c.line(), ".");
        EXPECT_EQ(c.ask("DELE 1").substr(0, 3), "+OK");
        EXPECT_EQ(pop.messageCount(), 2u) << "deletion committed before QUIT";
        EXPECT_EQ(c.ask("QUIT").substr(0, 3), "+OK");
    }
    auto left = pop.messages();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], "From: b@x.org\r\nSubject: two\r\n\r\nbody two\r\n");
    EXPECT_NE(pop.log().find("del=1"), std::string::npos) << pop.log();
}

TEST(TestServers, PopRefusesWrongPasswordAndDiesOnKill) {
    PopServer pop;
    Line c(pop.port());
    c.line();
    c.ask("USER " + pop.user());
    EXPECT_EQ(c.ask("PASS wrong").substr(0, 4), "-ERR");
    pop.kill();
    EXPECT_EQ(c.ask("STAT"), "");
}

TEST(TestServers, PopTlsOnBothPorts) {
    PopServer::Options options;
    options.tls = true;
    PopServer pop(options);
    pop.addMessage("Subject: secret\n\nx\n");
    ASSERT_NE(pop.tlsPort(), 0);
    for (bool implicit : {true, false}) {
        CURL* curl = curl_easy_init();
        std::string body;
        const std::string url = implicit
                                    ? "pop3s://127.0.0.1:" + std::to_string(pop.tlsPort()) + "/1"
                                    : "pop3://127.0.0.1:" + std::to_string(pop.port()) + "/1";
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_USERNAME, pop.user().c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, pop.password().c_str());
        curl_easy_setopt(curl, CURLOPT_CAINFO, pop.caFile().c_str());
        curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
        EXPECT_EQ(curl_easy_perform(curl), CURLE_OK) << url;
        curl_easy_cleanup(curl);
        EXPECT_NE(body.find("Subject: secret"), std::string::npos) << url;
    }
}

TEST(TestServers, SmtpRecordsSessionsAndRefusals) {
    SmtpServer::Options options;
    options.refuseRecipients = {"nobody@x.org"};
    options.refuseSenders = {"spammer@x.org"};
    SmtpServer smtp(options);
    {
        Line c(smtp.port());
        EXPECT_EQ(c.reply().substr(0, 3), "220");
        EXPECT_EQ(c.ask("EHLO me").substr(0, 3), "250");
        EXPECT_EQ(c.ask("MAIL FROM:<spammer@x.org>").substr(0, 3), "550");
        EXPECT_EQ(c.ask("MAIL FROM:<me@x.org>").substr(0, 3), "250");
        EXPECT_EQ(c.ask("RCPT TO:<nobody@x.org>").substr(0, 3), "550");
        EXPECT_EQ(c.ask("RCPT TO:<a@x.org>").substr(0, 3), "250");
        EXPECT_EQ(c.ask("RCPT TO:<b@x.org>").substr(0, 3), "250");
        EXPECT_EQ(c.ask("DATA").substr(0, 3), "354");
        EXPECT_EQ(c.ask("Subject: hi\r\n\r\n..dot\r\nend\r\n.").substr(0, 3), "250");
        EXPECT_EQ(c.ask("QUIT").substr(0, 3), "221");
    }
    {
        Line c(smtp.port());
        c.reply();
        c.ask("QUIT");
    }
    auto got = smtp.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].session, 1);
    EXPECT_EQ(got[0].mailFrom, "me@x.org");
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"a@x.org", "b@x.org"}));
    EXPECT_EQ(got[0].data, "Subject: hi\r\n\r\n.dot\r\nend\r\n");
    EXPECT_EQ(smtp.sessionCount(), 2);
}

TEST(TestServers, SmtpRequiresAuthWhenConfigured) {
    SmtpServer::Options options;
    options.authUser = "bob";
    options.authPassword = "pw";
    SmtpServer smtp(options);
    Line c(smtp.port());
    c.reply();
    c.ask("EHLO me");
    EXPECT_EQ(c.ask("MAIL FROM:<me@x.org>").substr(0, 3), "530");
    // base64("\0bob\0bad") and base64("\0bob\0pw")
    EXPECT_EQ(c.ask("AUTH PLAIN AGJvYgBiYWQ=").substr(0, 3), "535");
    EXPECT_EQ(c.ask("AUTH PLAIN AGJvYgBwdw==").substr(0, 3), "235");
    EXPECT_EQ(c.ask("MAIL FROM:<me@x.org>").substr(0, 3), "250");
}
