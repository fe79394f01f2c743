// The import file's line reader against a plain splitter: the same lines, each
// kept to the limit and flagged when it was longer, whatever the line ends.
#include <sstream>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "mail/ImportLineReader.h"

using namespace vorel;

namespace {

using Lines = std::vector<std::pair<std::string, bool>>;

Lines plainSplit(const std::string& text, std::size_t limit) {
    Lines lines;
    std::string line;
    std::size_t length = 0;
    bool open = false;
    const auto end = [&] {
        lines.emplace_back(line, length > limit);
        line.clear();
        length = 0;
        open = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            end();
        } else if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            end();
        } else {
            open = true;
            if (c != '\0' && ++length <= limit) {
                line += c;
            }
        }
    }
    if (open) {
        end();
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte sets the limit, so that short inputs reach it.
    const std::size_t limit = 1 + data[0] % 64;
    const std::string text = fuzz::bytes(data + 1, size - 1);
    std::istringstream in(text);
    ImportLineReader reader(in, limit);
    Lines got;
    std::string line;
    for (bool cut = false; reader.next(line, cut);) {
        VOREL_FUZZ_CHECK(line.size() <= limit);
        got.emplace_back(line, cut);
    }
    VOREL_FUZZ_CHECK(got == plainSplit(text, limit));
    return 0;
}
