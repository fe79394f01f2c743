#include "net/Json.h"

#include <cctype>
#include <cstdint>

namespace vorel::json {

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : t_(text) {}

    bool atEnd() {
        skipSpace();
        return i_ == t_.size();
    }

    bool object(std::map<std::string, std::string>* out, int depth) {
        if (depth > 64 || !take('{')) {
            return false;
        }
        if (take('}')) {
            return true;
        }
        while (true) {
            std::string key;
            std::string value;
            if (!string(key) || !take(':') || !valueText(value, depth)) {
                return false;
            }
            if (out != nullptr) {
                (*out)[key] = value;
            }
            if (take('}')) {
                return true;
            }
            if (!take(',')) {
                return false;
            }
        }
    }

private:
    void skipSpace() {
        while (i_ < t_.size() &&
               (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) {
            ++i_;
        }
    }
    bool take(char c) {
        skipSpace();
        if (i_ < t_.size() && t_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool peek(char c) {
        skipSpace();
        return i_ < t_.size() && t_[i_] == c;
    }

    static void putUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(std::uint32_t& v) {
        if (i_ + 4 > t_.size()) {
            return false;
        }
        v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = t_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    bool string(std::string& out) {
        if (!take('"')) {
            return false;
        }
        while (i_ < t_.size()) {
            const char c = t_[i_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= t_.size()) {
                return false;
            }
            const char e = t_[i_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!hex4(cp)) {
                        return false;
                    }
                    if (cp >= 0xD800 && cp < 0xDC00 && i_ + 1 < t_.size() && t_[i_] == '\\' &&
                        t_[i_ + 1] == 'u') {
                        i_ += 2;
                        std::uint32_t low = 0;
                        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                            return false;
                        }
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                        cp = 0xFFFD;  // a lone surrogate
                    }
                    putUtf8(out, cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool array(int depth) {
        if (depth > 64 || !take('[')) {
            return false;
        }
        if (take(']')) {
            return true;
        }
        while (true) {
            std::string ignored;
            if (!valueText(ignored, depth)) {
                return false;
            }
            if (take(']')) {
                return true;
            }
            if (!take(',')) {
                return false;
            }
        }
    }

    bool valueText(std::string& out, int depth) {
        skipSpace();
        if (i_ >= t_.size()) {
            return false;
        }
        const std::size_t start = i_;
        const char c = t_[i_];
        if (c == '"') {
            return string(out);
        }
        if (c == '{' || c == '[') {
            if (c == '{' ? !object(nullptr, depth + 1) : !array(depth + 1)) {
                return false;
            }
            out = std::string(t_.substr(start, i_ - start));
            return true;
        }
        for (const char* word : {"true", "false", "null"}) {
            const std::string_view w(word);
            if (t_.substr(i_, w.size()) == w) {
                i_ += w.size();
                out = std::string(w);
                return true;
            }
        }
        // A number: -?digits(.digits)?([eE][+-]?digits)?
        if (c == '-') {
            ++i_;
        }
        const auto digits = [this] {
            const std::size_t from = i_;
            while (i_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_]))) {
                ++i_;
            }
            return i_ > from;
        };
        if (!digits()) {
            return false;
        }
        if (i_ < t_.size() && t_[i_] == '.') {
            ++i_;
            if (!digits()) {
                return false;
            }
        }
        if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
            ++i_;
            if (i_ < t_.size() && (t_[i_] == '+' || t_[i_] == '-')) {
                ++i_;
            }
            if (!digits()) {
                return false;
            }
        }
        out = std::string(t_.substr(start, i_ - start));
        return true;
    }

    std::string_view t_;
    std::size_t i_ = 0;
};

}  // namespace

std::optional<std::map<std::string, std::string>> parseObject(std::string_view text) {
    Reader r(text);
    std::map<std::string, std::string> out;
    if (!r.object(&out, 0) || !r.atEnd()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace vorel::json
