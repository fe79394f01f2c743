#include "support/FakeMailComponent.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace vorel::test {

namespace {

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return "";
    }
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string decodeBase64(const std::string& in) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        std::size_t v = alphabet.find(c);
        if (c == '=' || v == std::string::npos) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string encodeBase64(const std::string& in) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        unsigned n = static_cast<unsigned char>(in[i]) << 16;
        std::size_t left = in.size() - i;
        if (left > 1) {
            n |= static_cast<unsigned char>(in[i + 1]) << 8;
        }
        if (left > 2) {
            n |= static_cast<unsigned char>(in[i + 2]);
        }
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += left > 1 ? alphabet[(n >> 6) & 63] : '=';
        out += left > 2 ? alphabet[n & 63] : '=';
        i += 3;
    }
    return out;
}

std::string decodeQuotedPrintable(const std::string& in, bool underscoreIsBlank) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '=' && i + 1 < in.size() && (in[i + 1] == '\n' || in[i + 1] == '\r')) {
            // soft line break
            i += (in[i + 1] == '\r' && i + 2 < in.size() && in[i + 2] == '\n') ? 2 : 1;
        } else if (c == '=' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 &&
                   hexValue(in[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2]));
            i += 2;
        } else if (c == '_' && underscoreIsBlank) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// A parameter of a structured header value such as boundary="x".
std::string parameter(const std::string& value, const std::string& name) {
    std::string low = lower(value);
    std::size_t pos = 0;
    while ((pos = low.find(name + "=", pos)) != std::string::npos) {
        if (pos == 0 || low[pos - 1] == ';' || low[pos - 1] == ' ' || low[pos - 1] == '\t') {
            std::size_t start = pos + name.size() + 1;
            if (start < value.size() && value[start] == '"') {
                std::size_t end = value.find('"', start + 1);
                return value.substr(start + 1,
                                    end == std::string::npos ? std::string::npos : end - start - 1);
            }
            std::size_t end = value.find_first_of("; \t", start);
            return value.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        pos += name.size();
    }
    return "";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::string line =
            text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        if (nl == std::string::npos) {
            break;
        }
        start = nl + 1;
    }
    return lines;
}

struct Leaf {
    std::string type;  // lower case, without parameters
    std::string disposition;
    std::string encoding;
    std::string body;
};

void collectLeaves(const std::string& raw, std::vector<Leaf>& leaves, int depth) {
    ParsedMessage m = parseMessage(raw);
    std::string contentType = m.field("Content-Type");
    std::string type = lower(trim(contentType.substr(0, contentType.find(';'))));
    std::string boundary = parameter(contentType, "boundary");
    if (startsWith(type, "multipart/") && !boundary.empty() && depth < 10) {
        std::vector<std::string> lines = splitLines(m.body);
        std::string part;
        bool inPart = false;
        for (const std::string& line : lines) {
            if (line == "--" + boundary || line == "--" + boundary + "--") {
                if (inPart) {
                    collectLeaves(part, leaves, depth + 1);
                }
                part.clear();
                inPart = line == "--" + boundary;
                continue;
            }
            if (inPart) {
                part += line + "\r\n";
            }
        }
        return;
    }
    leaves.push_back(Leaf{type, lower(trim(m.field("Content-Disposition"))),
                          lower(trim(m.field("Content-Transfer-Encoding"))), m.body});
}

bool isAttachment(const Leaf& leaf) {
    return startsWith(leaf.disposition, "attachment") ||
           (!leaf.type.empty() && !startsWith(leaf.type, "text/"));
}

}  // namespace

std::string ParsedMessage::field(const std::string& name) const {
    std::string want = lower(name);
    for (const auto& [n, v] : header) {
        if (lower(n) == want) {
            return v;
        }
    }
    return "";
}

std::string decodeHeaderWords(const std::string& value) {
    std::string out;
    std::size_t pos = 0;
    bool lastWasWord = false;
    while (pos < value.size()) {
        std::size_t start = value.find("=?", pos);
        if (start == std::string::npos) {
            out += value.substr(pos);
            break;
        }
        std::size_t q1 = value.find('?', start + 2);
        std::size_t q2 = q1 == std::string::npos ? q1 : value.find('?', q1 + 1);
        std::size_t end = q2 == std::string::npos ? q2 : value.find("?=", q2 + 1);
        if (end == std::string::npos || q2 != q1 + 2) {
            out += value.substr(pos);
            break;
        }
        std::string between = value.substr(pos, start - pos);
        // Blanks between two encoded words are not part of the text.
        if (!(lastWasWord && trim(between).empty())) {
            out += between;
        }
        char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(value[q1 + 1])));
        std::string text = value.substr(q2 + 1, end - q2 - 1);
        out += kind == 'B' ? decodeBase64(text) : decodeQuotedPrintable(text, true);
        lastWasWord = true;
        pos = end + 2;
    }
    return out;
}

ParsedMessage parseMessage(const std::string& raw) {
    ParsedMessage m;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t nl = raw.find('\n', pos);
        std::size_t next = nl == std::string::npos ? raw.size() : nl + 1;
        std::string line = raw.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        pos = next;
        if (line.empty()) {
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !m.header.empty()) {
            m.header.back().second += " " + trim(line);
            continue;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        m.header.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    for (auto& entry : m.header) {
        entry.second = decodeHeaderWords(entry.second);
    }
    m.body = raw.substr(std::min(pos, raw.size()));
    return m;
}

std::string firstTextPart(const std::string& raw) {
    std::vector<Leaf> leaves;
    collectLeaves(raw, leaves, 0);
    for (const Leaf& leaf : leaves) {
        if ((leaf.type.empty() || startsWith(leaf.type, "text/")) &&
            !startsWith(leaf.disposition, "attachment")) {
            if (leaf.encoding == "base64") {
                return decodeBase64(leaf.body);
            }
            if (leaf.encoding == "quoted-printable") {
                return decodeQuotedPrintable(leaf.body, false);
            }
            return leaf.body;
        }
    }
    return "";
}

int attachmentCount(const std::string& raw) {
    std::vector<Leaf> leaves;
    collectLeaves(raw, leaves, 0);
    return static_cast<int>(std::count_if(leaves.begin(), leaves.end(), isAttachment));
}

// ---------------------------------------------------------------------------

long FakeMailComponent::addMessage(const std::string& raw) {
    mailbox_.push_back(raw);
    marked_.push_back(false);
    return static_cast<long>(mailbox_.size());
}

void FakeMailComponent::failCall(const std::string& call, int nth, int code,
                                 const std::string& detail) {
    failures_.push_back(Failure{call, nth, 0, code, detail});
}

void FakeMailComponent::failForMessage(const std::string& call, long message, int code,
                                       const std::string& detail) {
    failures_.push_back(Failure{call, 0, message, code, detail});
}

void FakeMailComponent::clearFailures() {
    failures_.clear();
}

int FakeMailComponent::callCount(const std::string& call) const {
    auto it = callCounts_.find(call);
    return it == callCounts_.end() ? 0 : it->second;
}

void FakeMailComponent::enter(const std::string& call, const std::string& args) {
    calls_.push_back(args.empty() ? call : call + " " + args);
    int n = ++callCounts_[call];
    for (const Failure& f : failures_) {
        if (f.call == call && (f.nth == 0 || f.nth == n) &&
            (f.message == 0 || f.message == current_)) {
            throw MailError(f.code, f.detail.empty() ? "scripted failure of " + call : f.detail);
        }
    }
}

void FakeMailComponent::requirePop(const std::string& call) const {
    if (!popConnected_) {
        throw MailError(10057, call + " without a POP3 session");
    }
}

void FakeMailComponent::requireFetched(const std::string& call) const {
    if (current_ == 0 || fetched_ != current_) {
        throw MailError(20000, call + " before the message was fetched");
    }
}

const std::string& FakeMailComponent::currentRaw() const {
    if (current_ < 1 || current_ > static_cast<long>(mailbox_.size())) {
        throw MailError(20000, "no such message " + std::to_string(current_));
    }
    return mailbox_[static_cast<std::size_t>(current_ - 1)];
}

void FakeMailComponent::loadHeader() {
    ParsedMessage m = parseMessage(currentRaw());
    header_ = m.header;
    from_ = m.field("From");
    to_ = m.field("To");
    subject_ = m.field("Subject");
}

void FakeMailComponent::transcript(const std::string& line, TranscriptDirection direction) {
    if (transcriptOn_ && transcriptHandler_) {
        transcriptHandler_(line + "\r\n", direction);
    }
}

void FakeMailComponent::emitTranscript(const std::string& line, TranscriptDirection direction) {
    if (transcriptHandler_) {
        transcriptHandler_(line, direction);
    }
}

void FakeMailComponent::emitNotice(const std::string& text) {
    if (noticeHandler_) {
        noticeHandler_(text);
    }
}

void FakeMailComponent::setTranscriptHandler(TranscriptHandler handler) {
    transcriptHandler_ = std::move(handler);
}

void FakeMailComponent::setNoticeHandler(NoticeHandler handler) {
    noticeHandler_ = std::move(handler);
}

void FakeMailComponent::popConnect(const std::string& host, const std::string& user,
                                   const std::string& password) {
    enter("popConnect", host + " " + user);
    transcript("+OK Fake POP3 ready", TranscriptDirection::Received);
    transcript("USER " + user, TranscriptDirection::Sent);
    transcript("+OK", TranscriptDirection::Received);
    transcript("PASS " + password, TranscriptDirection::Sent);
    if (!popPassword_.empty() && password != popPassword_) {
        transcript("-ERR [AUTH] Authentication failed.", TranscriptDirection::Received);
        throw MailError(20012, "wrong password");
    }
    transcript("+OK Logged in.", TranscriptDirection::Received);
    popConnected_ = true;
    ++connects_;
}

long FakeMailComponent::messageCount() {
    enter("messageCount");
    requirePop("messageCount");
    transcript("STAT", TranscriptDirection::Sent);
    transcript("+OK " + std::to_string(mailbox_.size()) + " 0", TranscriptDirection::Received);
    return static_cast<long>(mailbox_.size());
}

void FakeMailComponent::selectMessage(long i) {
    enter("selectMessage", std::to_string(i));
    if (i != current_) {
        fetched_ = 0;
        header_.clear();
    }
    current_ = i;
}

void FakeMailComponent::fetchHeader() {
    enter("fetchHeader");
    requirePop("fetchHeader");
    transcript("TOP " + std::to_string(current_) + " 0", TranscriptDirection::Sent);
    loadHeader();
    transcript("+OK", TranscriptDirection::Received);
}

std::string FakeMailComponent::headerField(const std::string& name) const {
    std::string want = lower(name);
    for (const auto& [n, v] : header_) {
        if (lower(n) == want) {
            return v;
        }
    }
    return "";
}

bool FakeMailComponent::hasHeaderField(const std::string& name) const {
    std::string want = lower(name);
    return std::any_of(header_.begin(), header_.end(),
                       [&](const auto& entry) { return lower(entry.first) == want; });
}

void FakeMailComponent::deleteMessage() {
    enter("deleteMessage", std::to_string(current_));
    requirePop("deleteMessage");
    currentRaw();
    if (marked_[static_cast<std::size_t>(current_ - 1)]) {
        return;  // already marked: nothing more to do, as with the real component
    }
    transcript("DELE " + std::to_string(current_), TranscriptDirection::Sent);
    transcript("+OK", TranscriptDirection::Received);
    marked_[static_cast<std::size_t>(current_ - 1)] = true;
    deleted_.push_back(current_);
}

void FakeMailComponent::fetchMessage() {
    enter("fetchMessage");
    if (fetched_ != current_ || current_ == 0) {
        requirePop("fetchMessage");
        transcript("RETR " + std::to_string(current_), TranscriptDirection::Sent);
        currentRaw();
        transcript("+OK", TranscriptDirection::Received);
        ++downloads_;
        fetched_ = current_;
    }
    loadHeader();
}

void FakeMailComponent::saveWorkFile(const std::string& path) {
    enter("saveWorkFile", path);
    if (fetched_ != current_ || current_ == 0) {
        requirePop("saveWorkFile");
        currentRaw();
        ++downloads_;
        fetched_ = current_;
    }
    ParsedMessage m = parseMessage(currentRaw());
    std::string text;
    for (const auto& [n, v] : m.header) {
        text += n + ": " + v + "\r\n";
    }
    text += "\r\n";
    for (const std::string& line : splitLines(firstTextPart(currentRaw()))) {
        text += line + "\r\n";
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw MailError(20000, "cannot write " + path);
    }
}

void FakeMailComponent::saveMessageFile(const std::string& path) {
    enter("saveMessageFile", path);
    if (fetched_ != current_ || current_ == 0) {
        requirePop("saveMessageFile");
        currentRaw();
        ++downloads_;
        fetched_ = current_;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << currentRaw();
    if (!out) {
        throw MailError(20000, "cannot write " + path);
    }
}

int FakeMailComponent::extraCount() {
    enter("extraCount");
    requireFetched("extraCount");
    return attachmentCount(currentRaw());
}

std::string FakeMailComponent::bodyText() {
    enter("bodyText");
    requireFetched("bodyText");
    return firstTextPart(currentRaw());
}

void FakeMailComponent::smtpConnect(const std::string& host, SmtpProtocol protocol,
                                    const std::string& user, const std::string& password) {
    enter("smtpConnect", host + " " + std::to_string(static_cast<int>(protocol)) + " " + user);
    transcript("220 fake ESMTP ready", TranscriptDirection::Received);
    transcript("EHLO vorel", TranscriptDirection::Sent);
    transcript("250 AUTH PLAIN LOGIN", TranscriptDirection::Received);
    if (protocol == SmtpProtocol::Esmtp) {
        transcript("AUTH PLAIN " + encodeBase64(std::string(1, '\0') + user + '\0' + password),
                   TranscriptDirection::Sent);
        transcript("235 Authentication successful", TranscriptDirection::Received);
    }
    smtpConnected_ = true;
    ++connects_;
}

void FakeMailComponent::send(const OutgoingMessage& message) {
    enter("send", message.to);
    if (!smtpConnected_) {
        throw MailError(10057, "send without an SMTP session");
    }
    transcript("MAIL FROM:<" + message.from + ">", TranscriptDirection::Sent);
    transcript("250 OK", TranscriptDirection::Received);
    transcript("RCPT TO:<" + message.to + ">", TranscriptDirection::Sent);
    transcript("250 OK", TranscriptDirection::Received);
    transcript("DATA", TranscriptDirection::Sent);
    transcript("250 OK queued", TranscriptDirection::Received);
    sent_.push_back(message);
}

void FakeMailComponent::disconnect() {
    enter("disconnect");
    if (popConnected_) {
        transcript("QUIT", TranscriptDirection::Sent);
        transcript("+OK Logging out.", TranscriptDirection::Received);
        // QUIT commits the deletions; the rest of the mailbox is renumbered.
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < mailbox_.size(); ++i) {
            if (!marked_[i]) {
                kept.push_back(mailbox_[i]);
            }
        }
        mailbox_ = std::move(kept);
        marked_.assign(mailbox_.size(), false);
    }
    if (smtpConnected_) {
        transcript("QUIT", TranscriptDirection::Sent);
        transcript("221 Bye", TranscriptDirection::Received);
    }
    popConnected_ = false;
    smtpConnected_ = false;
    current_ = 0;
    fetched_ = 0;
    header_.clear();
    ++disconnects_;
}

}  // namespace vorel::test
