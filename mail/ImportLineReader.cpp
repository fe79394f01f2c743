#include "mail/ImportLineReader.h"

namespace vorel {

bool ImportLineReader::next(std::string& line, bool& cut) {
    line.clear();
    cut = false;
    std::streambuf* buf = in_.rdbuf();
    bool any = false;
    for (;;) {
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in_.setstate(std::ios::eofbit);
            return any;
        }
        any = true;
        if (c == '\n') {
            return true;
        }
        if (c == '\r') {
            if (buf->sgetc() == '\n') {
                buf->sbumpc();
            }
            return true;
        }
        if (c == '\0') {
            continue;  // NUL bytes are no part of any address
        }
        if (line.size() < limit_) {
            line += static_cast<char>(c);
        } else {
            cut = true;
        }
    }
}

}  // namespace vorel
