// A whole message on arbitrary bytes, through the mail component that reads a
// saved message: both save forms (the decoded work file that merges read,
// the message file forwarded as received) and what is sent of each.
#include <glib.h>

#include <cstdio>

#include "FuzzSupport.h"
#include "mail/MergeCodes.h"
#include "net/FileMailComponent.h"
#include "net/Mime.h"

using namespace vorel;

namespace {

bool utf8(const std::string& s) {
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr) &&
           s.find('\0') == std::string::npos;
}

// What goes into DATA: every line ended by CR LF; when `limited`, no body
// line longer than SMTP allows. (GMime does not fold a long display name of
// encoded words, so a header line may pass 998 octets: a server refuses that
// message for good and the run moves it to msgqueue.failed.)
bool sendable(const std::string& data, bool limited) {
    const std::size_t body = data.find("\r\n\r\n");
    std::size_t start = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r' && (i + 1 >= data.size() || data[i + 1] != '\n')) {
            return false;
        }
        if (data[i] == '\n') {
            if (i == 0 || data[i - 1] != '\r') {
                return false;
            }
            if (limited && body != std::string::npos && start > body && i - start > 999) {
                return false;
            }
            start = i + 1;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw = fuzz::bytes(data, size);
    const std::string folder = fuzz::scratchFolder();
    FileMailComponent mail(raw);
    mail.fetchHeader();
    mail.fetchMessage();
    mail.headerField("Message-ID");
    mail.hasHeaderField("Received");
    mail.extraCount();
    const std::string body = mail.bodyText();
    VOREL_FUZZ_CHECK(utf8(body) && utf8(mail.from()) && utf8(mail.to()) && utf8(mail.subject()));

    parseMergeFields(
        readMessageTextPieces([&mail](const auto& piece) { mail.workTextPieces(piece); }));
    mail.saveMessageFile(folder + "/1.msg");
    VOREL_FUZZ_CHECK(fuzz::readFile(folder + "/1.msg") == raw);

    // A reply goes to the sender; a list copy carries the poster's From,
    // Subject and text. The Message-ID's left part is the run's own.
    OutgoingMessage out;
    out.from = "robot@me.example";
    out.to = mail.from();
    out.subject = "Re: your mail";
    out.messageRef = "20261206080507";
    out.extraHeaders = {"X-Mailer: Vorel", "Auto-Submitted: auto-replied"};
    out.body = body;
    const std::string id = mime::makeMessageId(out.messageRef, out.from);
    VOREL_FUZZ_CHECK(sendable(mime::composeText(out, id), true));
    out.from = mail.from();
    out.to = "member@me.example";
    out.subject = mail.subject();
    out.contentSubtype = "html";
    out.transferEncoding = "base64";
    VOREL_FUZZ_CHECK(sendable(mime::composeText(out, id), true));
    // The forward: the message file under new addressing, its own header
    // lines kept as they came.
    out.from = "robot@me.example";
    out.to = "boss@me.example";
    out.subject = "(VOREL FWD) Originally From: " + mail.from() + " " + mail.subject();
    const std::string sent = mime::readdress(raw, out, id);
    // What a forward sends always has a header block that ends.
    VOREL_FUZZ_CHECK(sent.find("\r\n\r\n") != std::string::npos);
    VOREL_FUZZ_CHECK(sendable(sent, false));
    mime::parseMessage(sent);
    return 0;
}
