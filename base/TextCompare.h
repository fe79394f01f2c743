#pragma once

#include <string>

namespace vorel {

// Rules that recognise a message compare whole texts without regard to letter
// case; merge codes and markers are matched exactly. Byte-level, ASCII letters
// (also for protocol words: header names, schemes, host names).

inline char lowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline std::string lowerCase(std::string s) {
    for (char& c : s) {
        c = lowerChar(c);
    }
    return s;
}

inline bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerChar(a[i]) != lowerChar(b[i])) {
            return false;
        }
    }
    return true;
}

// Leading and trailing blanks (spaces) removed; nothing else.
inline std::string trimBlanks(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Leading and trailing white space (blanks, tabs and line ends) removed.
inline std::string trimSpace(const std::string& s) {
    const char* ws = " \t\r\n";
    std::size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// Every occurrence replaced, left to right; the replacement is not searched again.
inline std::string replaceAll(const std::string& text, const std::string& what,
                              const std::string& with) {
    if (what.empty()) {
        return text;
    }
    std::string out;
    std::size_t pos = 0;
    while (true) {
        std::size_t hit = text.find(what, pos);
        if (hit == std::string::npos) {
            out.append(text, pos, std::string::npos);
            return out;
        }
        out.append(text, pos, hit - pos);
        out += with;
        pos = hit + what.size();
    }
}

}  // namespace vorel
