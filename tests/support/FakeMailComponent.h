#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/MailComponent.h"

namespace vorel::test {

// A scripted MailComponent for tests of the logic above the wire: no sockets,
// a mailbox of raw messages in memory, a record of everything asked of it and
// failures on demand.
//
// Mailbox. addMessage() appends a raw RFC 5322 text (LF or CR LF line ends);
// messages are numbered from 1 in the order added. Messages are read by the
// same code as the real component's (decoded header values, display names
// kept), so the fake differs from it in transport only.
//  - fetchHeader() sets from/to/subject from the current message's header.
//  - fetchMessage() does the same and counts a download (at most one per
//    selected message, like the real component); downloads() tells how many.
//  - bodyText() is the first text/* part that is not an attachment, with
//    quoted-printable or base64 undone; extraCount() counts the other leaf
//    parts (attachments) of a multipart message. Both throw MailError(20000)
//    unless the current message was fetched, as the real component needs it.
//  - saveWorkFile() writes the header lines, a blank line and bodyText(), CR LF
//    line ends; saveMessageFile() writes the raw message unchanged. Both fetch
//    the message first when it was not fetched yet.
//  - deleteMessage() marks the current message; disconnect() commits the marks
//    (the messages leave the mailbox, the rest are renumbered), as QUIT does.
//    deletedMessages() lists the marked numbers in the order marked; deleting
//    a marked message again is recorded in calls() and otherwise does nothing.
//
// Sending. smtpConnect() opens the SMTP session; send() without one throws
// MailError(10057) like a real socket. sent() holds every message accepted.
//
// Record. calls() holds one line per call in order, e.g. "popConnect host user",
// "selectMessage 2", "fetchHeader", "fetchMessage", "deleteMessage 2",
// "saveWorkFile <path>", "saveMessageFile <path>", "smtpConnect host 2 user",
// "send to@x", "disconnect". connects()/disconnects() count sessions.
// With transcriptOn(true) and a handler set, each POP3/SMTP call also hands a
// few plausible protocol lines (CR LF included) to the transcript handler,
// including "PASS <password>" and "AUTH PLAIN <base64>" so masking can be
// tested.
//
// Failures. failCall("send", 3, 20002) makes the third send throw
// MailError(20002); nth 0 fails every call of that name. failForMessage(
// "fetchHeader", 2, 10057) fails that call whenever message 2 is current.
// A failing call has no effect other than the throw (a failed send is not
// recorded in sent(), but its attempt is in calls()).
class FakeMailComponent : public MailComponent {
public:
    FakeMailComponent() = default;

    // Script -------------------------------------------------------------
    long addMessage(const std::string& raw);  // returns its number
    void failCall(const std::string& call, int nth, int code, const std::string& detail = "");
    void failForMessage(const std::string& call, long message, int code,
                        const std::string& detail = "");
    void clearFailures();
    // The password popConnect accepts; any other throws MailError(20012).
    // Empty (the default) accepts every password.
    void requirePopPassword(const std::string& password) { popPassword_ = password; }

    // Record -------------------------------------------------------------
    const std::vector<std::string>& mailbox() const { return mailbox_; }
    const std::vector<long>& deletedMessages() const { return deleted_; }
    const std::vector<OutgoingMessage>& sent() const { return sent_; }
    const std::vector<std::string>& calls() const { return calls_; }
    int callCount(const std::string& call) const;
    int connects() const { return connects_; }  // pop and smtp sessions opened
    int disconnects() const { return disconnects_; }
    int downloads() const { return downloads_; }
    int timeout() const { return timeout_; }
    bool popConnected() const { return popConnected_; }
    bool smtpConnected() const { return smtpConnected_; }
    long currentMessage() const { return current_; }
    // Hands a line to the transcript handler as the component would.
    void emitTranscript(const std::string& line, TranscriptDirection direction);
    void emitNotice(const std::string& text);

    // MailComponent --------------------------------------------------------
    void setTranscriptHandler(TranscriptHandler handler) override;
    void setTranscriptOn(bool on) override { transcriptOn_ = on; }
    bool transcriptOn() const override { return transcriptOn_; }
    void setNoticeHandler(NoticeHandler handler) override;
    void setWaitHandler(WaitHandler) override {}
    void setTimeout(int seconds) override { timeout_ = seconds; }

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
        int nth = 0;       // 0: every call
        long message = 0;  // 0: any message
        int code = 0;
        std::string detail;
    };
    // Records the call, then throws when a failure is scripted for it.
    void enter(const std::string& call, const std::string& args = "");
    void requirePop(const std::string& call) const;
    void requireFetched(const std::string& call) const;
    const std::string& currentRaw() const;
    void loadHeader();
    void transcript(const std::string& line, TranscriptDirection direction);

    std::vector<std::string> mailbox_;
    std::vector<bool> marked_;
    std::vector<long> deleted_;
    std::vector<OutgoingMessage> sent_;
    std::vector<std::string> calls_;
    std::map<std::string, int> callCounts_;
    std::vector<Failure> failures_;
    std::vector<std::pair<std::string, std::string>> header_;  // of the current message
    TranscriptHandler transcriptHandler_;
    NoticeHandler noticeHandler_;
    std::string popPassword_;
    std::string from_, to_, subject_;
    long current_ = 0;
    long fetched_ = 0;  // message downloaded for the current selection
    int connects_ = 0;
    int disconnects_ = 0;
    int downloads_ = 0;
    int timeout_ = 0;
    bool transcriptOn_ = false;
    bool popConnected_ = false;
    bool smtpConnected_ = false;
};

}  // namespace vorel::test
