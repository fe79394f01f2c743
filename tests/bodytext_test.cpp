// The main text of a message as parseMessage decodes it (straight into the
// string that keeps it), and the line ends of a forwarded message file.
#include <gtest/gtest.h>

#include <string>

#include "net/Mime.h"

namespace vorel::mime {
namespace {

TEST(BodyText, DecodedAsDeclared) {
    struct Case {
        const char* name;
        std::string headers;  // after From and To
        std::string body;
        std::string text;
    };
    const std::string head = "From: a@x.example\r\nTo: b@y.example\r\n";
    const Case cases[] = {
        {"plain", "", "line 1\r\nline 2\r\n", "line 1\r\nline 2\r\n"},
        {"empty", "", "", ""},
        // The text after a NUL byte is kept; the NUL is dropped.
        {"NUL", "", std::string("first\0second\r\nthird\r\n", 20), "firstsecond\r\nthird\r\n"},
        {"latin-1 label", "Content-Type: text/plain; charset=iso-8859-1\r\n", "cr\xe8me\r\n",
         "cr\xc3\xa8me\r\n"},
        // A charset iconv does not know: the bytes as they are, read as
        // Windows-1252 when they are not UTF-8.
        {"unknown label", "Content-Type: text/plain; charset=x-no-such\r\n", "\x80 cr\xe8me\r\n",
         "\xe2\x82\xac cr\xc3\xa8me\r\n"},
        {"base64 with LF", "Content-Transfer-Encoding: base64\r\n", "bGluZSAxCmxpbmUgMgo=\r\n",
         "line 1\r\nline 2\r\n"},
        {"quoted-printable", "Content-Transfer-Encoding: quoted-printable\r\n",
         "soft=\r\nbreak =3D sign\r\n", "softbreak = sign\r\n"},
        {"alternative", "Content-Type: multipart/alternative; boundary=b\r\n",
         "--b\r\nContent-Type: text/plain\r\n\r\nplain\r\n--b\r\nContent-Type: text/html\r\n\r\n"
         "<p>html</p>\r\n--b--\r\n",
         "plain"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseMessage(head + c.headers + "\r\n" + c.body).bodyText, c.text) << c.name;
    }
}

TEST(BodyText, ForwardedFilesOfAnyLineEnds) {
    OutgoingMessage m;
    m.from = "robot@me.example";
    m.to = "boss@me.example";
    m.subject = "fwd";
    struct Case {
        const char* name;
        std::string saved;
        std::string body;  // after the new header block
    };
    const Case cases[] = {
        {"CR LF", "Subject: s\r\nX-A: 1\r\n\r\nbody\r\n.\r\n", "body\r\n.\r\n"},
        {"CR only", "Subject: s\rX-A: 1\r\rbody\r", "body\r\n"},
        {"mixed", "Subject: s\nX-A: 1\r\n\nbody\rmore\n", "body\r\nmore\r\n"},
        {"no header", "\r\nbody\r\n", "body\r\n"},
        {"header longer than the old one", "X: 1\r\n\r\n" + std::string(70000, 'b'),
         std::string(70000, 'b')},
    };
    for (const auto& c : cases) {
        const std::string out = readdress(c.saved, m, "n@x");
        const std::size_t end = out.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << c.name;
        EXPECT_EQ(out.substr(end + 4), c.body) << c.name;
        EXPECT_NE(out.find("To: boss@me.example\r\n"), std::string::npos) << c.name;
    }
}

}  // namespace
}  // namespace vorel::mime
