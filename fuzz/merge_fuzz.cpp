// The merge fields of a sender's text and their merge into a template: the
// sender controls both the fields and (through %email%) part of the result.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>

#include "FuzzSupport.h"
#include "mail/MergeCodes.h"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string tmpl = in.ConsumeRandomLengthString(512);
    const std::string email = in.ConsumeRandomLengthString(128);
    const std::string body = in.ConsumeRemainingBytesAsString();

    // The text as the run reads it from the work text.
    const std::string text = readMessageTextPieces([&body](const auto& piece) { piece(body); });
    VOREL_FUZZ_CHECK(text.size() <= body.size() + 32000);

    const MergeFields fields = parseMergeFields(text);
    const MergeFields direct = parseMergeFields(body);
    const LocalTime now{2026, 12, 6, 8, 5, 7};
    mergeTemplate(tmpl, now, email, fields);
    mergeTemplate(tmpl, now, email, direct);
    mergeListPost(tmpl, now, fields);
    return 0;
}
