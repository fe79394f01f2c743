#include "mail/AuthResults.h"

#include <algorithm>
#include <optional>

#include "base/Idn.h"
#include "base/TextCompare.h"

namespace vorel {

namespace {

enum class Kind { Word, Equals, Semicolon };
struct Token {
    Kind kind;
    std::string text;
};

constexpr int kCommentDepth = 8;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The field as words, "=" and ";". False when it cannot be read whole.
bool tokenize(std::string_view v, std::vector<Token>& out) {
    std::size_t i = 0;
    while (i < v.size()) {
        const char c = v[i];
        if (isSpace(c)) {
            ++i;
        } else if (c == '(') {
            int depth = 0;
            for (; i < v.size(); ++i) {
                if (v[i] == '\\') {
                    ++i;
                } else if (v[i] == '(') {
                    if (++depth > kCommentDepth) {
                        return false;
                    }
                } else if (v[i] == ')' && --depth == 0) {
                    break;
                }
            }
            if (i >= v.size()) {
                return false;  // an open comment
            }
            ++i;
        } else if (c == '"') {
            std::string text;
            for (++i; i < v.size() && v[i] != '"'; ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) {
                    ++i;
                }
                text += v[i];
            }
            if (i >= v.size()) {
                return false;
            }
            ++i;
            out.push_back({Kind::Word, std::move(text)});
        } else if (c == '=' || c == ';') {
            out.push_back({c == '=' ? Kind::Equals : Kind::Semicolon, {}});
            ++i;
        } else {
            const std::size_t start = i;
            while (i < v.size() && !isSpace(v[i]) && v[i] != '(' && v[i] != '"' && v[i] != '=' &&
                   v[i] != ';') {
                ++i;
            }
            out.push_back({Kind::Word, std::string(v.substr(start, i - start))});
        }
    }
    return true;
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// A domain as the run compares addresses: readable form, lower case.
std::string comparable(std::string domain) {
    while (!domain.empty() && domain.back() == '.') {
        domain.pop_back();
    }
    return lowerCase(readableDomains("@" + domain).substr(1));
}

std::string domainOf(const std::string& value) {
    const std::size_t at = value.rfind('@');
    return comparable(at == std::string::npos ? value : value.substr(at + 1));
}

// `d` is `from` or a parent of it at a label boundary (never a bare top label).
bool coversDomain(const std::string& d, const std::string& from) {
    if (d.empty() || d.find('.') == std::string::npos) {
        return false;
    }
    return d == from ||
           (from.size() > d.size() && from.compare(from.size() - d.size(), d.size(), d) == 0 &&
            from[from.size() - d.size() - 1] == '.');
}

}  // namespace

std::string AuthResult::property(const std::string& name) const {
    for (const auto& [key, value] : properties) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

AuthResultsField parseAuthResults(std::string_view value) {
    AuthResultsField field;
    const bool whole = value.size() <= kAuthFieldBytes;
    std::vector<Token> t;
    const bool read = tokenize(value.substr(0, kAuthFieldBytes), t) && whole;
    std::size_t i = 0;
    if (i < t.size() && t[i].kind == Kind::Word) {
        field.authservId = t[i++].text;
    }
    if (!read || field.authservId.empty()) {
        return field;
    }
    if (i < t.size() && t[i].kind == Kind::Word && allDigits(t[i].text)) {
        ++i;  // the version
    }
    if (i == t.size()) {
        return field;  // not even "; none"
    }
    auto pair = [&](std::string& key, std::string& val) {
        if (i + 2 < t.size() && t[i].kind == Kind::Word && t[i + 1].kind == Kind::Equals &&
            t[i + 2].kind == Kind::Word) {
            key = lowerCase(t[i].text);
            val = t[i + 2].text;
            i += 3;
            return true;
        }
        return false;
    };
    while (i < t.size()) {
        if (t[i].kind != Kind::Semicolon) {
            return field;
        }
        ++i;
        if (i < t.size() && t[i].kind == Kind::Word && sameText(t[i].text, "none") &&
            field.results.empty()) {
            ++i;
            continue;
        }
        AuthResult r;
        if (!pair(r.method, r.result) || field.results.size() == kAuthResultsPerField) {
            return field;
        }
        r.method = r.method.substr(0, r.method.find('/'));
        r.result = lowerCase(r.result);
        while (i < t.size() && t[i].kind != Kind::Semicolon) {
            std::string key, val;
            if (!pair(key, val) || r.properties.size() == kAuthPropertiesPerResult) {
                return field;
            }
            if (key != "reason") {
                r.properties.emplace_back(std::move(key), std::move(val));
            }
        }
        field.results.push_back(std::move(r));
    }
    field.readable = true;
    return field;
}

PostVerdict judgeAuthResults(const std::vector<std::string>& fields, const std::string& fromAddress,
                             const std::string& trustedId, bool topmostIsProvider) {
    const std::string id = trimSpace(trustedId);
    if (id.empty() && !topmostIsProvider) {
        return {false, "no provider's authentication results are trusted (settings)"};
    }
    std::optional<AuthResultsField> trusted;
    const std::size_t n = std::min(fields.size(), kAuthFieldsRead);
    for (std::size_t i = 0; i < n && !trusted; ++i) {
        AuthResultsField f = parseAuthResults(fields[i]);
        if (topmostIsProvider || sameText(f.authservId, id)) {
            trusted = std::move(f);
        }
    }
    const std::string who = topmostIsProvider ? "the top-most Authentication-Results" : id;
    if (!trusted) {
        return {false, "no Authentication-Results from " + who};
    }
    if (!trusted->readable) {
        return {false, "the Authentication-Results from " + who + " cannot be read"};
    }
    const std::string from = domainOf(fromAddress);
    std::string said;
    std::optional<std::string> vouch;
    bool dmarcFailed = false;
    for (const AuthResult& r : trusted->results) {
        if (said.size() < 200) {
            said += (said.empty() ? "" : ", ") + r.method + "=" + r.result;
        }
        if (r.method == "dmarc" && r.result == "fail") {
            dmarcFailed = true;
        }
        if (vouch || r.result != "pass") {
            continue;
        }
        if (r.method == "dmarc" && domainOf(r.property("header.from")) == from && !from.empty()) {
            vouch = "dmarc=pass header.from=" + from;
        } else if (r.method == "dkim") {
            std::string d = comparable(r.property("header.d"));
            if (d.empty()) {
                d = domainOf(r.property("header.i"));
            }
            if (coversDomain(d, from)) {
                vouch = "dkim=pass header.d=" + d;
            }
        }
    }
    if (vouch && !dmarcFailed) {
        return {true, "verified by " + who + ": " + *vouch};
    }
    return {false, "not verified by " + who + " for " + (from.empty() ? "(no domain)" : from) +
                       ": " + (said.empty() ? "no results" : said)};
}

}  // namespace vorel
