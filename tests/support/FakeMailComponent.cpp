#include "support/FakeMailComponent.h"

#include <glib.h>

#include <algorithm>
#include <fstream>

#include "base/TextCompare.h"
#include "net/Mime.h"

namespace vorel::test {

namespace {

std::string encodeBase64(const std::string& in) {
    gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(in.data()), in.size());
    std::string out(b64);
    g_free(b64);
    return out;
}

}  // namespace

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

// Messages are read by the same code as the real component's, so that the
// fake differs from it in transport only.
void FakeMailComponent::loadHeader() {
    mime::ParsedHeader h = mime::parseHeader(currentRaw());
    header_.clear();
    for (const mime::HeaderField& f : h.fields) {
        header_.emplace_back(f.name, mime::decodeHeaderValue(f.value));
    }
    from_ = h.from;
    to_ = h.to;
    subject_ = h.subject;
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
    for (const auto& [n, v] : header_) {
        if (sameText(n, name)) {
            return v;
        }
    }
    return "";
}

bool FakeMailComponent::hasHeaderField(const std::string& name) const {
    return std::any_of(header_.begin(), header_.end(),
                       [&](const auto& entry) { return sameText(entry.first, name); });
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << mime::workFileText(mime::parseMessage(currentRaw()));
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
    return mime::parseMessage(currentRaw()).extraCount;
}

std::string FakeMailComponent::bodyText() {
    enter("bodyText");
    requireFetched("bodyText");
    return mime::parseMessage(currentRaw()).bodyText;
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
