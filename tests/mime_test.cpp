// Reading and writing of messages for the mail component: decoding, the
// parts of a message, composing, re-addressing, and hostile input.
#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "net/Mime.h"
#include "support/TempFolder.h"

using namespace vorel;
using namespace vorel::mime;

namespace {

bool validUtf8(const std::string& s) {
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

// A header field of composed text, folds joined; "<none>" when absent.
std::string field(const std::string& data, const std::string& name) {
    const std::string head =
        std::regex_replace(data.substr(0, data.find("\r\n\r\n")), std::regex("\r\n([ \t])"), "$1");
    std::smatch m;
    if (std::regex_search(head, m,
                          std::regex("(^|\r\n)" + name + ": ([^\r\n]*)", std::regex::icase))) {
        return m[2];
    }
    return "<none>";
}

OutgoingMessage simple() {
    OutgoingMessage m;
    m.to = "a@example.org";
    m.from = "owner@example.org";
    m.sender = "owner@example.org";
    m.subject = "Re: hi";
    m.messageRef = "20261205_KESO";
    m.body = "Hello\r\n";
    return m;
}

const char* kSeed =
    "From: =?utf-8?q?J=C3=B6rg?= <j@example.org>\r\n"
    "To: a@example.org, \"B, C\" <b@example.org>\r\n"
    "Subject: =?utf-8?B?w5xiZXI=?= it\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: multipart/alternative; boundary=\"b2\"\r\n"
    "\r\n"
    "--b2\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "caf=E9 =\r\n"
    "au lait\r\n"
    "--b2\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "<p>caf&eacute;</p>\r\n"
    "--b2--\r\n"
    "--b1\r\n"
    "Content-Type: image/png; name=x.png\r\n"
    "Content-Disposition: attachment; filename=x.png\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "iVBORw0KGgo=\r\n"
    "--b1\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "Subject: inner\r\n\r\ninner body\r\n"
    "--b1--\r\n";

}  // namespace

TEST(Mime, PartsOfAMessage) {
    const ParsedMessage m = parseMessage(kSeed);
    EXPECT_EQ(m.from, "J\xc3\xb6rg <j@example.org>");
    EXPECT_EQ(m.to, "a@example.org, \"B, C\" <b@example.org>");
    EXPECT_EQ(m.subject,
              "\xc3\x9c"
              "ber it");
    EXPECT_EQ(m.bodyText, "caf\xc3\xa9 au lait") << "decoded from Latin-1 QP into UTF-8";
    EXPECT_EQ(m.extraCount, 2) << "image and attached message; not the html alternative";

    struct Case {
        std::string raw;
        std::string body;
        int extra;
    };
    const std::vector<Case> cases = {
        {"Subject: x\r\n\r\nplain\r\n", "plain\r\n", 0},
        {"Subject: x\r\n", "", 0},
        {"", "", 0},
        // Only an attachment: no main text.
        {"Content-Type: application/pdf\r\n\r\n%PDF\r\n", "", 1},
        // HTML only: the html is the text.
        {"Content-Type: text/html\r\n\r\n<b>x</b>\r\n", "<b>x</b>\r\n", 0},
        // Signed: the signature is not an attachment.
        {"Content-Type: multipart/signed; boundary=s\r\n\r\n--s\r\nContent-Type: text/plain\r\n\r\n"
         "signed text\r\n--s\r\nContent-Type: application/pgp-signature\r\n\r\nsig\r\n--s--\r\n",
         "signed text", 0},
        // A text attachment is not the main text.
        {"Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: text/plain\r\n"
         "Content-Disposition: attachment; filename=a.txt\r\n\r\nfile\r\n--m\r\n"
         "Content-Type: text/plain\r\n\r\nthe text\r\n--m--\r\n",
         "the text", 1},
        // Undeclared 8-bit body text.
        {"Subject: x\r\n\r\ncr\xe8me\r\n", "cr\xc3\xa8me\r\n", 0},
    };
    for (const auto& c : cases) {
        const ParsedMessage p = parseMessage(c.raw);
        EXPECT_EQ(p.bodyText, c.body) << c.raw;
        EXPECT_EQ(p.extraCount, c.extra) << c.raw;
    }
}

TEST(Mime, HeaderValuesAndWorkFile) {
    const ParsedHeader h = parseHeader(
        "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\r\n\t=?utf-8?q?_und_mehr?=\r\n"
        "X-Note: caf\xe9\r\n"
        "no colon line\r\n"
        "To: undisclosed-recipients:;\r\n"
        "\r\n"
        "Subject: body, not header\r\n");
    EXPECT_EQ(h.subject,
              "Gr\xc3\xbc\xc3\x9f"
              "e und mehr");
    EXPECT_EQ(h.fields.size(), 3u);
    EXPECT_EQ(decodeHeaderValue(h.fields[1].value), "caf\xc3\xa9");
    EXPECT_EQ(h.to, "undisclosed-recipients: ;");

    ParsedMessage m =
        parseMessage("Subject: =?utf-8?q?t=C3=A9st?=\r\nTo: a@b\r\n\r\nline1\r\nline2");
    EXPECT_EQ(workFileText(m), "Subject: t\xc3\xa9st\r\nTo: a@b\r\n\r\nline1\r\nline2\r\n");
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
    EXPECT_EQ(makeMessageId("202612545296_KESO", "o@example.org").rfind("202612545296_KESO.", 0),
              0u);
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
    EXPECT_EQ(field(data, "X-Mailer"), "VOREL X-Evil: 2");

    // A display name too long to fit a line is left out; the address stays.
    std::string name;
    for (int i = 0; i < 40; ++i) {
        name += "=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?= ";
    }
    m = simple();
    m.to = name + "<long@example.org>";
    const std::string named = composeText(m, "i@x");
    std::size_t longest = 0;
    for (std::size_t at = 0, end; at < named.size(); at = end + 2) {
        end = std::min(named.find("\r\n", at), named.size());
        longest = std::max(longest, end - at);
    }
    EXPECT_LE(longest, 998u) << named;
    EXPECT_EQ(field(named, "To"), "long@example.org");
}

TEST(Mime, ComposedBodies) {
    struct Case {
        std::string body;
        std::string charset;
        std::string encoding;
    };
    const std::vector<Case> cases = {
        {"plain ascii\r\n", "us-ascii", "8bit"},
        {"gr\xc3\xbc\xc3\x9f"
         "e\r\n",
         "utf-8", "quoted-printable"},
        {"Latin-1 cr\xe8me\r\n", "utf-8", "quoted-printable"},              // made UTF-8
        {std::string(2000, 'a') + "\r\n", "us-ascii", "quoted-printable"},  // line too long
        {"", "us-ascii", "8bit"},
    };
    for (const auto& c : cases) {
        OutgoingMessage m = simple();
        m.body = c.body;
        const std::string data = composeText(m, "id@x");
        EXPECT_NE(field(data, "Content-Type").find("charset=" + c.charset), std::string::npos)
            << data;
        EXPECT_EQ(field(data, "Content-Transfer-Encoding"), c.encoding) << c.body.substr(0, 20);
        EXPECT_EQ(field(data, "MIME-Version"), "1.0");
        EXPECT_EQ(field(data, "Message-Id"), "<id@x>");
        for (std::size_t p = 0, nl; (nl = data.find('\n', p)) != std::string::npos; p = nl + 1) {
            ASSERT_GT(nl, 0u);
            ASSERT_EQ(data[nl - 1], '\r') << "bare LF";
            ASSERT_LE(nl - p, 1000u);
        }
        // What is sent reads back as the text given (as UTF-8, CR LF).
        EXPECT_EQ(parseMessage(data).bodyText, toCrlf(toUtf8(c.body)));
    }
    OutgoingMessage html = simple();
    html.contentSubtype = "html";
    html.body = "<HTML>x</HTML>";
    EXPECT_NE(field(composeText(html, "i@x"), "Content-Type").find("text/html"), std::string::npos);
}

TEST(Mime, ReaddressKeepsTheBody) {
    const std::string body = "--b1\r\nline .\r\n.dot\r\n\r\n\r\n--b1--\r\n";
    const std::string saved =
        "From someone Sat Dec  5 10:00:00 2026\r\n"
        "Return-Path: <x@y>\r\n"
        "Received: from a\r\n\tby b\r\n"
        "From: Old <old@example.org>\r\n"
        "To: old-to@example.org\r\n"
        "Cc: old-cc@example.org\r\n"
        "Subject: old\r\n"
        "X-Mailer: other\r\n"
        "Content-Type: multipart/mixed;\r\n boundary=\"b1\"\r\n"
        "\r\n" +
        body;
    OutgoingMessage m = simple();
    m.to = "new@example.org";
    m.subject = "(VOREL FWD) Originally From: old@example.org old";
    m.extraHeaders = {"X-Mailer: VOREL"};
    const std::string out = readdress(saved, m, "n@x");
    EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), body);
    EXPECT_EQ(field(out, "Cc"), "<none>");
    EXPECT_EQ(field(out, "X-Mailer"), "VOREL");
    EXPECT_EQ(field(out, "Return-Path"), "<none>");
    EXPECT_EQ(field(out, "Content-Type"), "multipart/mixed; boundary=\"b1\"");
    EXPECT_EQ(out.find("From someone"), std::string::npos);
    // LF-only files and files without a body come out as CR LF messages.
    const std::string lf = readdress("Subject: s\nX-A: 1\n\nbody\n", m, "n@x");
    EXPECT_EQ(lf.substr(lf.find("\r\n\r\n")), "\r\n\r\nbody\r\n");
    EXPECT_EQ(field(lf, "X-A"), "1");
    const std::string headOnly = readdress("Subject: s", m, "n@x");
    EXPECT_EQ(headOnly.substr(headOnly.size() - 4), "\r\n\r\n");
}

// Truncated, mutated and random input: parsing, saving and re-addressing
// never crash, and every text handed out is UTF-8.
TEST(Mime, HostileInputNeverBreaksParsing) {
    std::vector<std::string> seeds = {kSeed, composeText(simple(), "i@x")};
    const std::filesystem::path corpus = "/usr/lib/python3.11/test/test_email/data";
    for (const char* name :
         {"msg_02.txt", "msg_07.txt", "msg_16.txt", "msg_25.txt", "msg_41.txt"}) {
        if (std::filesystem::exists(corpus / name)) {
            seeds.push_back(vorel::test::readFile((corpus / name).string()));
        }
    }
    std::mt19937 rng(20261205);
    auto check = [](const std::string& raw) {
        const ParsedMessage m = parseMessage(raw);
        ASSERT_TRUE(validUtf8(m.from) && validUtf8(m.to) && validUtf8(m.subject) &&
                    validUtf8(m.bodyText));
        ASSERT_GE(m.extraCount, 0);
        for (const auto& f : parseHeader(raw).fields) {
            ASSERT_TRUE(validUtf8(decodeHeaderValue(f.value)));
        }
        (void)workFileText(m);
        const std::string out = readdress(raw, simple(), "i@x");
        ASSERT_NE(out.find("\r\n\r\n"), std::string::npos);
    };
    for (const auto& seed : seeds) {
        for (std::size_t cut = 0; cut < seed.size(); cut += 7) {
            check(seed.substr(0, cut));
        }
        for (int round = 0; round < 200; ++round) {
            std::string mutated = seed;
            const int edits = 1 + static_cast<int>(rng() % 8);
            for (int e = 0; e < edits && !mutated.empty(); ++e) {
                const std::size_t at = rng() % mutated.size();
                switch (rng() % 4) {
                    case 0:
                        mutated[at] = static_cast<char>(rng() % 256);
                        break;
                    case 1:
                        mutated.erase(at, rng() % 40);
                        break;
                    case 2:
                        mutated.insert(
                            at, std::string(1 + rng() % 20, "=?\r\n:;<>\"\\-\0"[rng() % 13]));
                        break;
                    default:
                        mutated.insert(at, mutated.substr(rng() % mutated.size(), rng() % 200));
                        break;
                }
            }
            check(mutated);
        }
    }
    for (int round = 0; round < 300; ++round) {
        std::string junk(rng() % 3000, '\0');
        for (char& c : junk) {
            c = static_cast<char>(rng() % 256);
        }
        check(junk);
    }
    // Deep nesting and a huge header line.
    std::string deep;
    for (int i = 0; i < 500; ++i) {
        deep += "Content-Type: multipart/mixed; boundary=\"n" + std::to_string(i) +
                "\"\r\n\r\n--n" + std::to_string(i) + "\r\n";
    }
    check(deep + "Content-Type: text/plain\r\n\r\ninner\r\n");
    check("Subject: " + std::string(1 << 20, 'x') + "\r\n\r\nb\r\n");
}
