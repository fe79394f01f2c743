#pragma once

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "net/Mime.h"

namespace vorel::test {

// A scripted MailComponent over raw messages read by the real MIME code: it records the calls
// made and fails on demand; no transcript lines, no notices.
class FakeMailComponent : public MailComponent {
public:
    long addMessage(const std::string& raw) {  // numbered from 1 in the order added
        mailbox_.push_back(raw);
        marked_.push_back(false);
        return static_cast<long>(mailbox_.size());
    }
    // The nth call of that name (0: every one) throws MailError(code) with `reply` as its line.
    void failCall(const std::string& call, int nth, int code, const std::string& reply = {}) {
        failures_.emplace_back(call, nth, 0, code, reply);
    }
    // That call throws MailError(code) whenever message `message` is current.
    void failForMessage(const std::string& call, long message, int code) {
        failures_.emplace_back(call, 0, message, code, "");
    }
    // Over 1: sendBatch streams, going on after a refusal, ending at a lost connection.
    void setSendWindow(std::size_t window) { window_ = window; }
    const std::vector<std::size_t>& batches() const { return batches_; }  // sizes, in order
    // Empty (the default) accepts every password.
    void requirePopPassword(const std::string& password) { popPassword_ = password; }

    const std::vector<std::string>& mailbox() const { return mailbox_; }   // committed by QUIT
    const std::vector<long>& deletedMessages() const { return deleted_; }  // in the order marked
    const std::vector<OutgoingMessage>& sent() const { return sent_; }
    bool popConnected() const { return popConnected_; }
    bool smtpConnected() const { return smtpConnected_; }
    // One line per call, e.g. "selectMessage 2", "smtpConnect host 2 user", "send to@x".
    const std::vector<std::string>& calls() const { return calls_; }
    int callCount(const std::string& call) const {
        return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
            return c.rfind(call, 0) == 0 && (c.size() == call.size() || c[call.size()] == ' ');
        }));
    }
    int downloads() const { return downloads_; }

    void setTranscriptHandler(TranscriptHandler) override {}
    void setTranscriptOn(bool on) override { transcriptOn_ = on; }
    bool transcriptOn() const override { return transcriptOn_; }
    void setNoticeHandler(NoticeHandler) override {}
    void setWaitHandler(WaitHandler) override {}
    void setTimeout(int) override {}

    void popConnect(const std::string& host, const std::string& user,
                    const std::string& password) override {
        enter("popConnect", host + " " + user);
        if (!popPassword_.empty() && password != popPassword_) {
            throw MailError(mailcode::kBadPassword, "wrong password");
        }
        popConnected_ = true;
    }
    long messageCount() override {
        enter("messageCount");
        return static_cast<long>(std::count(marked_.begin(), marked_.end(), false));
    }
    // The scripted server keeps no unique ids: the run falls back to its own key.
    std::vector<std::string> uniqueIds() override { return {}; }
    void selectMessage(long i) override {
        enter("selectMessage", std::to_string(i));
        if (i != current_) {
            fetched_ = 0;
            header_.clear();
            arrival_.reset();
        }
        current_ = i;
    }
    void fetchHeader() override {
        enter("fetchHeader");
        requireMessage();
        loadHeader(mailbox_[static_cast<std::size_t>(current_ - 1)]);
    }
    std::string headerField(const std::string& name) const override {
        const auto it = std::find_if(header_.begin(), header_.end(),
                                     [&](const auto& f) { return sameText(f.first, name); });
        return it == header_.end() ? "" : it->second;
    }
    bool hasHeaderField(const std::string& name) const override {
        return std::any_of(header_.begin(), header_.end(),
                           [&](const auto& f) { return sameText(f.first, name); });
    }
    std::optional<std::int64_t> arrivalTime() const override { return arrival_; }
    void deleteMessage() override {
        enter("deleteMessage", std::to_string(current_));
        if (current_ < 1 || current_ > static_cast<long>(mailbox_.size()) || !marked_[index()]) {
            requireMessage();
            marked_[index()] = true;
            deleted_.push_back(current_);
        }
    }
    // A hint is recorded as "willFetch n" and never fails.
    void willFetch(long n) override { calls_.push_back("willFetch " + std::to_string(n)); }
    void fetchMessage() override {
        enter("fetchMessage");
        loadHeader(download());
    }
    void workTextPieces(const std::function<void(std::string_view)>& piece) override {
        enter("workTextPieces");
        piece(mime::workFileText(mime::parseMessage(download())));
    }
    void saveMessageFile(const std::string& path) override {
        enter("saveMessageFile", path);
        if (!(std::ofstream(path, std::ios::binary) << download() << std::flush)) {
            throw MailError(mailcode::kFile, "cannot write " + path);
        }
    }
    int extraCount() override {
        enter("extraCount");
        return mime::parseMessage(download()).extraCount;
    }
    std::vector<DeliveryStatus> deliveryReport() override {
        enter("deliveryReport");
        return mime::parseMessage(download()).deliveryReport;
    }
    std::string bodyText() override {
        enter("bodyText");
        return mime::parseMessage(download()).bodyText;
    }

    std::string from() const override { return from_; }
    std::string to() const override { return to_; }
    std::string subject() const override { return subject_; }
    void setFrom(const std::string& value) override { from_ = value; }
    void setTo(const std::string& value) override { to_ = value; }
    void setSubject(const std::string& value) override { subject_ = value; }

    void smtpConnect(const std::string& host, SmtpProtocol protocol, const std::string& user,
                     const std::string&) override {
        enter("smtpConnect", host + " " + std::to_string(static_cast<int>(protocol)) + " " + user);
        smtpConnected_ = true;
    }
    void send(const OutgoingMessage& message) override {
        enter("send", message.to);
        if (!smtpConnected_) {
            throw MailError(mailcode::kNotConnected, "send without an SMTP session");
        }
        sent_.push_back(message);
    }
    std::size_t sendWindow() const override { return window_; }
    std::vector<SendResult> sendBatch(const std::vector<OutgoingMessage>& messages) override {
        batches_.push_back(messages.size());
        if (window_ <= 1) {
            return MailComponent::sendBatch(messages);
        }
        std::vector<SendResult> results;
        for (const OutgoingMessage& m : messages) {
            try {
                send(m);
                results.emplace_back();
            } catch (const MailError& e) {
                results.push_back({std::current_exception()});
                if (e.code() == mailcode::kNotConnected) {
                    break;
                }
            }
        }
        return results;
    }
    void disconnect() override {
        enter("disconnect");
        for (std::size_t i = mailbox_.size(); popConnected_ && i-- > 0;) {
            if (marked_[i]) {  // QUIT commits the deletions; the rest is renumbered
                mailbox_.erase(mailbox_.begin() + static_cast<long>(i));
                marked_.erase(marked_.begin() + static_cast<long>(i));
            }
        }
        popConnected_ = smtpConnected_ = false;
        current_ = fetched_ = 0;
        header_.clear();
        arrival_.reset();
    }

private:
    std::size_t index() const { return static_cast<std::size_t>(current_ - 1); }
    // Records the call, then throws when a failure is scripted for it.
    void enter(const std::string& call, const std::string& args = "") {
        calls_.push_back(args.empty() ? call : call + " " + args);
        const int n = callCount(call);
        for (const auto& [name, nth, message, code, reply] : failures_) {
            if (name == call && (nth == 0 || nth == n) && (message == 0 || message == current_)) {
                throw MailError(code, "scripted failure of " + call, reply);
            }
        }
        const bool pop = call != "smtpConnect" && call != "send" && call != "disconnect" &&
                         call != "selectMessage" && call != "popConnect";
        if (pop && !popConnected_) {
            throw MailError(mailcode::kNotConnected, call + " without a POP3 session");
        }
    }
    void requireMessage() const {
        if (current_ < 1 || current_ > static_cast<long>(mailbox_.size())) {
            throw MailError(mailcode::kNoMessage, "no message " + std::to_string(current_));
        }
        if (marked_[index()]) {
            throw MailError(mailcode::kMessageDeleted, "message marked deleted");
        }
    }
    // The current message, downloaded at most once per selection.
    const std::string& download() {
        if (fetched_ != current_ || current_ == 0) {
            requireMessage();
            ++downloads_;
            fetched_ = current_;
        }
        return mailbox_[index()];
    }
    void loadHeader(const std::string& raw) {
        const mime::ParsedHeader h = mime::parseHeader(raw);
        arrival_ = mime::arrivalTime(h.fields);
        header_.clear();
        for (const mime::HeaderField& f : h.fields) {
            header_.emplace_back(f.name, mime::decodeHeaderValue(f.value));
        }
        from_ = h.from;
        to_ = h.to;
        subject_ = h.subject;
    }

    std::vector<std::string> mailbox_;
    std::vector<bool> marked_;
    std::vector<long> deleted_;
    std::vector<OutgoingMessage> sent_;
    std::vector<std::string> calls_;
    // call, nth, message, code, reply
    std::vector<std::tuple<std::string, int, long, int, std::string>> failures_;
    std::vector<std::size_t> batches_;
    std::size_t window_ = 1;
    std::vector<std::pair<std::string, std::string>> header_;  // of the current message
    std::optional<std::int64_t> arrival_;
    std::string popPassword_, from_, to_, subject_;
    long current_ = 0, fetched_ = 0;
    int downloads_ = 0;
    bool transcriptOn_ = false, popConnected_ = false, smtpConnected_ = false;
};

}  // namespace vorel::test
