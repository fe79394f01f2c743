#include "store/TextFile.h"

#include <cstring>
#include <stdexcept>

#include "base/FileIo.h"

namespace vorel {

std::optional<std::vector<std::string>> readTextLines(const std::string& path) {
    const std::optional<std::string> all = readWholeFile(path);
    if (!all) {
        return std::nullopt;
    }
    return textLines(*all);
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        const std::size_t end = nl == std::string::npos ? text.size() : nl;
        std::size_t len = end - start;
        if (len > 0 && text[end - 1] == '\r') {
            --len;
        }
        lines.emplace_back(text, start, len);
        if (nl == std::string::npos) {
            break;
        }
        start = nl + 1;
    }
    return lines;
}

void replaceFile(const std::string& path, const std::string& content, mode_t mode) {
    if (const int err = writeFileAtomically(path, content, mode); err != 0) {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
    }
}

std::string asOneLine(const std::string& value) {
    std::string line = value;
    for (char& c : line) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return line;
}

}  // namespace vorel
