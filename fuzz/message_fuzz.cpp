// A whole message on arbitrary bytes, through the mail component that reads a
// saved message: both save forms (the decoded work file that merges read,
// the message file forwarded as received) and what is sent of each.
#include <cstdio>

#include "FuzzSupport.h"
#include "mail/MergeCodes.h"
#include "net/FileMailComponent.h"
#include "net/Mime.h"

using namespace vorel;

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

    mail.saveWorkFile(folder + "/temp.msg");
    parseMergeFields(readMessageTextFile(folder + "/temp.msg"));
    mail.saveMessageFile(folder + "/1.msg");
    VOREL_FUZZ_CHECK(fuzz::readFile(folder + "/1.msg") == raw);

    OutgoingMessage out;
    out.from = mail.from();
    out.to = mail.to();
    out.subject = mail.subject();
    out.messageRef = mail.headerField("Message-ID");
    out.extraHeaders = {"X-Mailer: Vorel", "Auto-Submitted: auto-replied"};
    const std::string id = mime::makeMessageId(out.messageRef, out.from);
    out.body = body;
    mime::composeText(out, id);
    out.contentSubtype = "html";
    out.transferEncoding = "base64";
    mime::composeText(out, id);
    // The forward: the message file under new addressing.
    out.to = "boss@me.example";
    const std::string sent = mime::readdress(raw, out, id);
    // What a forward sends always has a header block that ends.
    VOREL_FUZZ_CHECK(sent.find("\r\n\r\n") != std::string::npos);
    mime::parseMessage(sent);
    return 0;
}
