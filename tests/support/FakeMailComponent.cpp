#include "support/FakeMailComponent.h"

#include <algorithm>
#include <fstream>

#include "base/TextCompare.h"
#include "net/Mime.h"

namespace vorel::test {

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw MailError(mailcode::kFile, "cannot write " + path);
    }
}

}  // namespace

long FakeMailComponent::addMessage(const std::string& raw) {
    mailbox_.push_back(raw);
    marked_.push_back(false);
    return static_cast<long>(mailbox_.size());
}

void FakeMailComponent::failCall(const std::string& call, int nth, int code) {
    failures_.push_back(Failure{call, nth, 0, code});
}

void FakeMailComponent::failForMessage(const std::string& call, long message, int code) {
    failures_.push_back(Failure{call, 0, message, code});
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
            throw MailError(f.code, "scripted failure of " + call);
        }
    }
    const bool pop = call != "smtpConnect" && call != "send" && call != "disconnect" &&
                     call != "selectMessage" && call != "popConnect";
    if (pop && !popConnected_) {
        throw MailError(mailcode::kNotConnected, call + " without a POP3 session");
    }
}

void FakeMailComponent::requireMessage() const {
    if (current_ < 1 || current_ > static_cast<long>(mailbox_.size())) {
        throw MailError(mailcode::kNoMessage, "no message " + std::to_string(current_));
    }
    if (marked_[static_cast<std::size_t>(current_ - 1)]) {
        throw MailError(mailcode::kMessageDeleted, "message marked deleted");
    }
}

const std::string& FakeMailComponent::download() {
    if (fetched_ != current_ || current_ == 0) {
        requireMessage();
        ++downloads_;
        fetched_ = current_;
    }
    return mailbox_[static_cast<std::size_t>(current_ - 1)];
}

void FakeMailComponent::loadHeader(const std::string& raw) {
    mime::ParsedHeader h = mime::parseHeader(raw);
    header_.clear();
    for (const mime::HeaderField& f : h.fields) {
        header_.emplace_back(f.name, mime::decodeHeaderValue(f.value));
    }
    from_ = h.from;
    to_ = h.to;
    subject_ = h.subject;
}

void FakeMailComponent::popConnect(const std::string& host, const std::string& user,
                                   const std::string& password) {
    enter("popConnect", host + " " + user);
    if (!popPassword_.empty() && password != popPassword_) {
        throw MailError(mailcode::kBadPassword, "wrong password");
    }
    popConnected_ = true;
}

long FakeMailComponent::messageCount() {
    enter("messageCount");
    return static_cast<long>(std::count(marked_.begin(), marked_.end(), false));
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
    requireMessage();
    loadHeader(mailbox_[static_cast<std::size_t>(current_ - 1)]);
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
    if (current_ >= 1 && current_ <= static_cast<long>(mailbox_.size()) &&
        marked_[static_cast<std::size_t>(current_ - 1)]) {
        return;
    }
    requireMessage();
    marked_[static_cast<std::size_t>(current_ - 1)] = true;
    deleted_.push_back(current_);
}

void FakeMailComponent::fetchMessage() {
    enter("fetchMessage");
    loadHeader(download());
}

void FakeMailComponent::saveWorkFile(const std::string& path) {
    enter("saveWorkFile", path);
    writeFile(path, mime::workFileText(mime::parseMessage(download())));
}

void FakeMailComponent::saveMessageFile(const std::string& path) {
    enter("saveMessageFile", path);
    writeFile(path, download());
}

int FakeMailComponent::extraCount() {
    enter("extraCount");
    return mime::parseMessage(download()).extraCount;
}

std::string FakeMailComponent::bodyText() {
    enter("bodyText");
    return mime::parseMessage(download()).bodyText;
}

void FakeMailComponent::smtpConnect(const std::string& host, SmtpProtocol protocol,
                                    const std::string& user, const std::string&) {
    enter("smtpConnect", host + " " + std::to_string(static_cast<int>(protocol)) + " " + user);
    smtpConnected_ = true;
}

void FakeMailComponent::send(const OutgoingMessage& message) {
    enter("send", message.to);
    if (!smtpConnected_) {
        throw MailError(mailcode::kNotConnected, "send without an SMTP session");
    }
    sent_.push_back(message);
}

void FakeMailComponent::disconnect() {
    enter("disconnect");
    if (popConnected_) {
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
    popConnected_ = false;
    smtpConnected_ = false;
    current_ = 0;
    fetched_ = 0;
    header_.clear();
}

}  // namespace vorel::test
