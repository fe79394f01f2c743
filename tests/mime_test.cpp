// Reading and writing messages: decoding, parts, composing, re-addressing, hostile input.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "net/Mime.h"
#include "support/HeaderFields.h"

using namespace vorel;
using namespace vorel::mime;
using vorel::test::headerFields;

namespace {

OutgoingMessage simple() {
    OutgoingMessage m;
    m.to = "a@example.org";
    m.from = m.sender = "owner@example.org";
    m.subject = "Re: hi";
    m.messageRef = "20261205_KESO";
    m.body = "Hello\r\n";
    return m;
}

const std::regex kOverlong("[^\r\n]{999}");

const std::string kSeed =
    "From: =?utf-8?q?J=C3=B6rg?= <j@example.org>\r\nTo: a@example.org, \"B, C\" <b@example.org>\r\n"
    "Subject: =?utf-8?B?w5xiZXI=?= it\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
    "--b1\r\nContent-Type: multipart/alternative; boundary=\"b2\"\r\n\r\n"
    "--b2\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9 =\r\nau lait\r\n"
    "--b2\r\nContent-Type: text/html\r\n\r\n<p>caf&eacute;</p>\r\n--b2--\r\n"
    "--b1\r\nContent-Type: image/png; name=x.png\r\nContent-Disposition: attachment\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\niVBORw0KGgo=\r\n"
    "--b1\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\ninner body\r\n--b1--\r\n";

}  // namespace

TEST(Mime, MainTextAndOtherParts) {
    const ParsedMessage m = parseMessage(kSeed);
    EXPECT_EQ(m.from + "|" + m.to + "|" + m.subject,
              "J\xc3\xb6rg <j@example.org>|a@example.org, \"B, C\" <b@example.org>|\u00DCber it");
    EXPECT_EQ(m.bodyText, "caf\xc3\xa9 au lait") << "decoded from Latin-1 QP into UTF-8";
    EXPECT_EQ(m.extraCount, 2) << "image and attached message; not the html alternative";

    const std::string ct = "Content-Type: text/plain; charset=";
    const std::string cte = "Content-Transfer-Encoding: ";
    const std::string mixed = "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\n";
    const std::tuple<std::string, std::string, int> cases[] = {
        // message, main text, others
        {"Subject: x\r\n\r\nplain\r\n", "plain\r\n", 0},
        {"Subject: x\r\n", "", 0},
        {"", "", 0},
        {std::string("\r\nfirst\0second\r\nthird\r\n", 23), "firstsecond\r\nthird\r\n", 0},
        {ct + "iso-8859-1\r\n\r\ncr\xe8me\r\n", "cr\xc3\xa8me\r\n", 0},
        // A charset iconv does not know, and undeclared 8-bit text: read as
        // Windows-1252 when not UTF-8.
        {ct + "x-no-such\r\n\r\n\x80 cr\xe8me\r\n", "\xe2\x82\xac cr\xc3\xa8me\r\n", 0},
        {"Subject: x\r\n\r\ncr\xe8me\r\n", "cr\xc3\xa8me\r\n", 0},
        {cte + "base64\r\n\r\nbGluZSAxCmxpbmUgMgo=\r\n", "line 1\r\nline 2\r\n", 0},
        {cte + "quoted-printable\r\n\r\nsoft=\r\nbreak =3D sign\r\n", "softbreak = sign\r\n", 0},
        {"Content-Type: application/pdf\r\n\r\n%PDF\r\n", "", 1},
        {"Content-Type: text/html\r\n\r\n<b>x</b>\r\n", "<b>x</b>\r\n", 0},
        {"Content-Type: multipart/signed; boundary=s\r\n\r\n--s\r\nContent-Type: text/plain\r\n\r\n"
         "signed text\r\n--s\r\nContent-Type: application/pgp-signature\r\n\r\nsig\r\n--s--\r\n",
         "signed text", 0},
        {mixed + "Content-Type: text/plain\r\nContent-Disposition: attachment; filename=a.txt\r\n"
                 "\r\nfile\r\n--m\r\nContent-Type: text/plain\r\n\r\nthe text\r\n--m--\r\n",
         "the text", 1},
    };
    for (const auto& [raw, body, extra] : cases) {
        const ParsedMessage p = parseMessage(raw);
        EXPECT_EQ(p.bodyText + "|" + std::to_string(p.extraCount),
                  body + "|" + std::to_string(extra))
            << raw;
    }
}

TEST(Mime, HeaderValues) {
    const ParsedHeader h = parseHeader(
        "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\r\n\t=?utf-8?q?_und_mehr?=\r\nX-Note: caf\xe9\r\n"
        "no colon line\r\nTo: undisclosed-recipients:;\r\n\r\nSubject: body, not header\r\n");
    EXPECT_EQ(h.subject + "|" + h.to, "Gr\u00FC\u00DFe und mehr|undisclosed-recipients: ;");
    ASSERT_EQ(h.fields.size(), 3u);
    EXPECT_EQ(decodeHeaderValue(h.fields[1].value), "caf\xc3\xa9");
}

TEST(Mime, AddressesAndMessageIds) {
    using V = std::vector<std::string>;
    EXPECT_EQ(mailboxes("A <a@x.org>, b@y.org"), (V{"a@x.org", "b@y.org"}));
    EXPECT_EQ(mailboxes("team: c@z.org, d@z.org;, e@z.org"), (V{"c@z.org", "d@z.org", "e@z.org"}));
    EXPECT_EQ(mailboxes(""), V{});
    for (const auto& a : mailboxes("x@y.org\r\nRCPT TO:<evil@z.org>")) {
        EXPECT_EQ(a.find_first_of("\r\n <>"), std::string::npos) << a;
    }
    std::set<std::string> ids;
    const std::regex valid(R"([A-Za-z0-9_.-]+@[A-Za-z0-9.-]+)");
    for (const std::string ref : {"202612545296_KESO", "", "a b<c>@d", "..x..", "\xff\xfe"}) {
        for (const std::string from :
             {"owner@example.org", "", "Name <n@sub.example.org>", "junk"}) {
            const std::string id = makeMessageId(ref, from);
            EXPECT_TRUE(std::regex_match(id, valid)) << id;
            EXPECT_TRUE(ids.insert(id).second) << "repeated " << id;
        }
    }
}

TEST(Mime, ComposedHeadersCannotBeInjected) {
    OutgoingMessage m = simple();
    m.subject = "hi\r\nBcc: victim@example.org";
    m.to = "a@example.org\r\nX-Evil: 1";
    m.extraHeaders = {"X-Mailer: VOREL\r\nX-Evil: 2", "Bad Name: x", "no colon"};
    const std::string data = composeText(m, makeMessageId("r", m.from));
    const std::string head = "\r\n" + data.substr(0, data.find("\r\n\r\n"));
    for (const char* injected : {"\r\nBcc:", "\r\nX-Evil:", "\r\nBad Name:"}) {
        EXPECT_EQ(head.find(injected), std::string::npos) << data;
    }
    EXPECT_EQ(headerFields(data, {"X-Mailer"}), "VOREL X-Evil: 2");
    // A display name too long to fit a line is left out; the address stays.
    m = simple();
    m.to = "<long@example.org>";
    for (int i = 0; i < 40; ++i) {
        m.to = "=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?= " + m.to;
    }
    const std::string named = composeText(m, "i@x");
    EXPECT_FALSE(std::regex_search(named, kOverlong)) << named;
    EXPECT_EQ(headerFields(named, {"To"}), "long@example.org");
}

TEST(Mime, ComposedBodies) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"plain ascii\r\n", "us-ascii", "8bit"},
        {"gr\u00FC\u00DFe\r\n", "utf-8", "quoted-printable"},
        {"Latin-1 cr\xe8me\r\n", "utf-8", "quoted-printable"},              // made UTF-8
        {std::string(2000, 'a') + "\r\n", "us-ascii", "quoted-printable"},  // line too long
        {"", "us-ascii", "8bit"},
    };
    for (const auto& [body, charset, encoding] : cases) {
        OutgoingMessage m = simple();
        m.body = body;
        const std::string data = composeText(m, "id@x");
        SCOPED_TRACE(data);
        EXPECT_NE(headerFields(data, {"Content-Type"}).find("charset=" + charset),
                  std::string::npos);
        EXPECT_EQ(headerFields(data, {"Content-Transfer-Encoding", "MIME-Version", "Message-Id"}),
                  encoding + "|1.0|<id@x>");
        EXPECT_FALSE(std::regex_search(data, std::regex("(^|[^\r])\n")) ||
                     std::regex_search(data, kOverlong));
        // What is sent reads back as the text given (as UTF-8, CR LF).
        EXPECT_EQ(parseMessage(data).bodyText, toCrlf(toUtf8(body)));
    }
    OutgoingMessage html = simple();
    html.contentSubtype = "html";
    EXPECT_TRUE(headerFields(composeText(html, "i@x"), {"Content-Type"}).starts_with("text/html"));
}

// A saved message re-addressed: body byte for byte (CR LF), addressing and trace fields replaced.
TEST(Mime, ReaddressKeepsTheBody) {
    const std::string mime = "--b1\r\nline .\r\n.dot\r\n\r\n\r\n--b1--\r\n";
    const std::string saved =
        "From someone Sat Dec  5 10:00:00 2026\r\nReturn-Path: <x@y>\r\nReceived: from a\r\n\tby b"
        "\r\nFrom: Old <old@example.org>\r\nTo: old-to@example.org\r\nCc: old-cc@example.org\r\n"
        "Subject: old\r\nX-Mailer: other\r\nContent-Type: multipart/mixed;\r\n "
        "boundary=\"b1\"\r\n\r\n" +
        mime;
    const std::pair<std::string, std::string> cases[] = {
        {saved, mime},
        {"Subject: s\nX-A: 1\n\nbody\n", "body\r\n"},
        {"Subject: s\rX-A: 1\r\rbody\r", "body\r\n"},
        {"Subject: s\nX-A: 1\r\n\nbody\rmore\n", "body\r\nmore\r\n"},
        {"\r\nbody\r\n", "body\r\n"},
        {"Subject: s", ""},
        {"X-A: 1\r\n\r\n" + std::string(70000, 'b'), std::string(70000, 'b')},
    };
    OutgoingMessage m = simple();
    m.to = "new@example.org";
    m.extraHeaders = {"X-Mailer: VOREL"};
    for (const auto& [in, body] : cases) {
        const std::string out = readdress(in, m, "n@x");
        SCOPED_TRACE(out.substr(0, 400));
        ASSERT_NE(out.find("\r\n\r\n"), std::string::npos);
        EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), body);
        EXPECT_EQ(headerFields(out, {"To", "X-Mailer", "Cc", "Return-Path", "Received", "X-A"}),
                  "new@example.org|VOREL|<none>|<none>|<none>|" +
                      std::string(in.find("X-A") == std::string::npos ? "<none>" : "1"));
        EXPECT_EQ(out.find("From someone"), std::string::npos);
    }
    EXPECT_EQ(headerFields(readdress(saved, m, "n@x"), {"Content-Type"}),
              "multipart/mixed; boundary=\"b1\"");
}
