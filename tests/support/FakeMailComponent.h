#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/MailComponent.h"

namespace vorel::test {

// A scripted MailComponent for the logic above the wire: a mailbox of raw
// messages in memory, read by the real component's MIME code, so that it
// differs from the real component in transport only (the contract suite in
// mailcomponent_test runs against both). It records what is asked of it and
// fails on demand; it has no transcript lines and no notices.
class FakeMailComponent : public MailComponent {
public:
    // Script -------------------------------------------------------------
    long addMessage(const std::string& raw);  // numbered from 1 in the order added
    // The nth call of that name (0: every one) throws MailError(code).
    void failCall(const std::string& call, int nth, int code);
    // That call throws MailError(code) whenever message `message` is current.
    void failForMessage(const std::string& call, long message, int code);
    // Empty (the default) accepts every password.
    void requirePopPassword(const std::string& password) { popPassword_ = password; }

    // Record -------------------------------------------------------------
    const std::vector<std::string>& mailbox() const { return mailbox_; }   // committed by QUIT
    const std::vector<long>& deletedMessages() const { return deleted_; }  // in the order marked
    const std::vector<OutgoingMessage>& sent() const { return sent_; }
    bool popConnected() const { return popConnected_; }
    bool smtpConnected() const { return smtpConnected_; }
    // One line per call, e.g. "selectMessage 2", "smtpConnect host 2 user", "send to@x".
    const std::vector<std::string>& calls() const { return calls_; }
    int callCount(const std::string& call) const;
    int downloads() const { return downloads_; }

    // MailComponent --------------------------------------------------------
    void setTranscriptHandler(TranscriptHandler) override {}
    void setTranscriptOn(bool on) override { transcriptOn_ = on; }
    bool transcriptOn() const override { return transcriptOn_; }
    void setNoticeHandler(NoticeHandler) override {}
    void setWaitHandler(WaitHandler) override {}
    void setTimeout(int) override {}

    void popConnect(const std::string& host, const std::string& user,
                    const std::string& password) override;
    long messageCount() override;
    // The scripted server keeps no unique ids: the run falls back to its own key.
    std::vector<std::string> uniqueIds() override { return {}; }
    void selectMessage(long i) override;
    void fetchHeader() override;
    std::string headerField(const std::string& name) const override;
    bool hasHeaderField(const std::string& name) const override;
    void deleteMessage() override;
    void fetchMessage() override;
    void saveWorkFile(const std::string& path) override;
    void saveMessageFile(const std::string& path) override;
    int extraCount() override;
    std::string bodyText() override;

    std::string from() const override { return from_; }
    std::string to() const override { return to_; }
    std::string subject() const override { return subject_; }
    void setFrom(const std::string& value) override { from_ = value; }
    void setTo(const std::string& value) override { to_ = value; }
    void setSubject(const std::string& value) override { subject_ = value; }

    void smtpConnect(const std::string& host, SmtpProtocol protocol, const std::string& user,
                     const std::string& password) override;
    void send(const OutgoingMessage& message) override;
    void disconnect() override;

private:
    struct Failure {
        std::string call;
        int nth = 0;
        long message = 0;
        int code = 0;
    };
    // Records the call, then throws when a failure is scripted for it.
    void enter(const std::string& call, const std::string& args = "");
    void requireMessage() const;
    // The current message, downloaded at most once per selection.
    const std::string& download();
    void loadHeader(const std::string& raw);

    std::vector<std::string> mailbox_;
    std::vector<bool> marked_;
    std::vector<long> deleted_;
    std::vector<OutgoingMessage> sent_;
    std::vector<std::string> calls_;
    std::map<std::string, int> callCounts_;
    std::vector<Failure> failures_;
    std::vector<std::pair<std::string, std::string>> header_;  // of the current message
    std::string popPassword_;
    std::string from_, to_, subject_;
    long current_ = 0;
    long fetched_ = 0;
    int downloads_ = 0;
    bool transcriptOn_ = false;
    bool popConnected_ = false;
    bool smtpConnected_ = false;
};

}  // namespace vorel::test
