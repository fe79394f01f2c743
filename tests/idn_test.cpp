// International addresses: UTF-8 where the server takes it, the ASCII form of
// a domain where it does not (hostile_test: one member whichever form).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Idn.h"
#include "net/CurlMailComponent.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

TEST(Idn, ReadableAndAsciiForms) {
    EXPECT_EQ(readableDomains("a@XN--MLLER-KVA.example, b@plain.example"),
              "a@müller.example, b@plain.example");
    EXPECT_EQ(readableDomains("user@MÜLLER.example"), "user@müller.example");
    EXPECT_EQ(readableDomains("(No From)"), "(No From)");
    EXPECT_EQ(asciiAddress("anna@müller.example"), "anna@xn--mller-kva.example");
    EXPECT_EQ(asciiAddress("jürgen@example.de"), std::nullopt);
}

// UTF-8 in the header is 8-bit data, declared with the SMTPUTF8 parameter;
// without it a local part that is not ASCII cannot go at all.
TEST(Idn, AddressesGoOutInTheFormTheServerTakes) {
    test::SmtpServer::Options o;
    o.smtputf8 = true;
    test::SmtpServer utf8(o);
    test::SmtpServer ascii;
    struct Case {
        const test::SmtpServer& smtp;
        std::string to;
        std::string rcpt;  // empty: refused before sending
        std::string options;
    };
    const Case cases[] = {
        {utf8, "jürgen@example.de", "jürgen@example.de", "BODY=8BITMIME SMTPUTF8"},
        {ascii, "anna@müller.example", "anna@xn--mller-kva.example", ""},
        {ascii, "jürgen@example.de", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        CurlMailComponent mail;
        std::string notices;
        mail.setNoticeHandler([&](const std::string& n) { notices += n; });
        mail.smtpConnect(c.smtp.host() + ":" + std::to_string(c.smtp.port()), SmtpProtocol::Smtp,
                         "", "");
        OutgoingMessage m;
        m.to = c.to;
        m.from = "robot@me.example";
        m.subject = "Re: hello";
        m.body = "Hi.\r\n";
        if (c.rcpt.empty()) {
            EXPECT_THROW(mail.send(m), MailError);
            EXPECT_NE(notices.find("Cannot send to or from " + c.to), std::string::npos);
            continue;
        }
        mail.send(m);
        mail.disconnect();
        const auto got = c.smtp.received().back();
        EXPECT_EQ(got.mailOptions, c.options);
        EXPECT_EQ(got.rcptTo, std::vector<std::string>{c.rcpt});
        EXPECT_NE(got.data.find("To: " + c.rcpt + "\r\n"), std::string::npos) << got.data;
        EXPECT_TRUE(!c.options.empty() || isAscii(got.data)) << got.data;
    }
}

}  // namespace
}  // namespace vorel
