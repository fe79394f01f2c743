#include "store/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/WriteAll.h"

namespace vorel {

std::optional<std::vector<std::string>> readTextLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    const std::string text = all.str();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = (nl == std::string::npos) ? text.size() : nl;
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
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    auto failWith = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
    };
    if (::fchmod(fd, mode) != 0) {
        failWith(errno);
    }
    if (const int err = writeAll(fd, content); err != 0) {
        failWith(err);
    }
    // Flushed before the rename, so a crash cannot leave an empty file behind.
    if (::fsync(fd) != 0) {
        failWith(errno);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
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
