// A header block as the run reads it for every waiting message (TOP n 0):
// the fields, the decoded values and the addresses taken from them.
#include <cstdio>

#include "FuzzSupport.h"
#include "base/Idn.h"
#include "net/Mime.h"

using namespace vorel;

namespace {

// What may go into a log line or an SMTP command: no line breaks.
bool oneLine(const std::string& s) {
    return s.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const mime::ParsedHeader h = mime::parseHeader(fuzz::bytes(data, size));
    VOREL_FUZZ_CHECK(oneLine(h.from) && oneLine(h.to) && oneLine(h.subject));
    for (const mime::HeaderField& f : h.fields) {
        VOREL_FUZZ_CHECK(oneLine(mime::decodeHeaderValue(f.value)));
    }
    for (const std::string* list : {&h.from, &h.to}) {
        for (bool ascii : {false, true}) {
            for (const std::string& a : mime::mailboxes(*list, ascii)) {
                VOREL_FUZZ_CHECK(!a.empty());
                VOREL_FUZZ_CHECK(a.find_first_of("\r\n<> ") == std::string::npos);
                asciiAddress(a);
            }
        }
    }
    mime::makeMessageId(h.subject, h.from);
    return 0;
}
