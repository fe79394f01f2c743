#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorel {

// The component's error codes, as libcurl keeps CURLE_* beside its texts.
// The numbers are the ones users know from their logs; mailErrorText has a
// text for each named one.
namespace mailcode {
constexpr int kConnectFailed = 0;     // a POP3 host that does not greet or list like one
constexpr int kNotConnected = 10057;  // the connection is lost, timed out or garbled
constexpr int kUnreachable = 10065;   // nothing answers at that address
constexpr int kHostNotFound = 11001;  // also an unusable server setting
constexpr int kHostNotFoundRetry = 11002;
constexpr int kNoHostData = 11004;
constexpr int kSendRefused = 20002;  // an SMTP 5xx refusal
constexpr int kBadUser = 20011;
constexpr int kBadPassword = 20012;  // any refused login: SASL cannot tell which
// Codes the table does not name: "<code> Undefined Error", the MailError's
// text says more.
constexpr int kCurlBase = 30000;        // 30000 + libcurl's code
constexpr int kReplyBase = 40000;       // 40000 + an SMTP reply code the table has no text for
constexpr int kNoMessage = 31001;       // no message selected, or out of range
constexpr int kMessageDeleted = 31002;  // the message is marked deleted
constexpr int kFile = 31003;            // a message file cannot be read or written
constexpr int kBadServerAddress = kHostNotFound;
}  // namespace mailcode

// The SMTP command whose reply refused a message: a refused RCPT is about one
// recipient, a refused MAIL or data may be about the whole account.
enum class SmtpStep { Unknown, Mail, Rcpt, Data };

// Every failure of the mail component carries the code that the run turns into
// a text with mailErrorText.
class MailError : public std::runtime_error {
public:
    MailError(int code, const std::string& detail, std::string reply = {},
              SmtpStep step = SmtpStep::Unknown)
        : std::runtime_error(detail), code_(code), reply_(std::move(reply)), step_(step) {}
    int code() const { return code_; }
    // The server's refusing reply line when an SMTP server refused ("550
    // 5.4.5 Daily user sending limit exceeded"); empty otherwise.
    const std::string& reply() const { return reply_; }
    SmtpStep step() const { return step_; }

private:
    int code_;
    std::string reply_;
    SmtpStep step_;
};

// The run's texts for the component's error codes; any other code gives the
// code in decimal and " Undefined Error".
std::string mailErrorText(int code);

enum class SmtpProtocol { Smtp = 0, Esmtp = 2 };

// One message to send. Either a text message (sourceFile empty) built from the
// content fields, or a saved message file sent whole under the addressing
// fields.
struct OutgoingMessage {
    std::string to;
    std::string copyTo;  // empty: no copy
    std::string from;
    std::string sender;
    std::string subject;
    std::string messageRef;  // left part of the Message-ID
    std::string messageId;   // when set, the whole Message-ID (no brackets), made by the caller
    std::vector<std::string> extraHeaders;  // "Name: value" lines, e.g. the X-Mailer line
    // text branch
    std::string contentType = "text";
    std::string contentSubtype = "plain";
    std::string charset = "charset=us-ascii";
    std::string transferEncoding = "8bit";
    std::string body;
    // file branch: path of a message file saved by saveMessageFile
    std::string sourceFile;
};

// One recipient of a delivery report (RFC 3464): Final-Recipient (the
// address alone; Original-Recipient when it has none), Action and Status;
// the rest comes from the returned copy's header when the report has one:
// its Message-ID (no brackets) and X-Vorel-List, X-Vorel-Member and
// X-Vorel-Tag, which anyone can write and prove nothing by themselves.
struct DeliveryStatus {
    std::string recipient;
    std::string original;  // Original-Recipient, the address alone
    std::string action;
    std::string status;
    std::string list;
    std::string member;
    std::string messageId;
    std::string tag;
};

// The outcome of one message of a batch: handed over (no failure), or the
// error send() would have raised for it.
struct SendResult {
    std::exception_ptr failure;
};

// Direction of a transcript line.
enum class TranscriptDirection { Sent, Received };

// All POP3 and SMTP/ESMTP traffic of the system. Every call is synchronous and
// raises MailError on failure.
class MailComponent {
public:
    virtual ~MailComponent() = default;

    // Transcript: while on, every protocol line exchanged with a server is
    // handed over as sent or received, line end included.
    using TranscriptHandler = std::function<void(const std::string& line, TranscriptDirection)>;
    virtual void setTranscriptHandler(TranscriptHandler handler) = 0;
    virtual void setTranscriptOn(bool on) = 0;
    virtual bool transcriptOn() const = 0;
    // Notices for the run log (for instance that a connection is not encrypted).
    using NoticeHandler = std::function<void(const std::string& text)>;
    virtual void setNoticeHandler(NoticeHandler handler) = 0;

    // Called about ten times a second while a call waits on a server, on the
    // caller's thread, so that a stop asked for meanwhile is seen; it must
    // not call the component.
    using WaitHandler = std::function<void()>;
    virtual void setWaitHandler(WaitHandler handler) = 0;

    virtual void setTimeout(int seconds) = 0;

    // When on, the password given to popConnect and smtpConnect is an OAuth2
    // access token, sent with SASL XOAUTH2 (and nothing else).
    virtual void setXoauth2(bool on) { (void)on; }

    // POP3 ------------------------------------------------------------
    // Connects and logs in; one connection for the whole session.
    virtual void popConnect(const std::string& host, const std::string& user,
                            const std::string& password) = 0;
    virtual long messageCount() = 0;
    // The server's unique id of every message of the session (UIDL), index
    // = message number - 1; empty when the server keeps none. One command,
    // asked once per session.
    virtual std::vector<std::string> uniqueIds() = 0;
    // Selects message i (from 1) as the current message.
    virtual void selectMessage(long i) = 0;
    // Fetches the current message's header: from(), to(), subject() become its
    // decoded values (display names kept), empty when absent.
    virtual void fetchHeader() = 0;
    // Decoded value of the first header field `name` (any case) of the
    // current message's header; empty when absent. Valid after fetchHeader.
    virtual std::string headerField(const std::string& name) const = 0;
    virtual bool hasHeaderField(const std::string& name) const = 0;
    // The values of every header field `name` (any case), top-most first,
    // unfolded and not decoded; at most `most`. Valid after fetchHeader.
    virtual std::vector<std::string> headerFields(const std::string& name, std::size_t most) const {
        (void)name;
        (void)most;
        return {};
    }
    // When the current message reached the mailbox, in seconds since the
    // epoch: the date of its top-most Received field (the mailbox's own
    // server stamps it), else of its Date field; none when neither holds a
    // date, or the component cannot tell. Valid after fetchHeader.
    virtual std::optional<std::int64_t> arrivalTime() const { return std::nullopt; }
    // The mailbox session was lost on the way (the connection closed, timed
    // out or garbled): nothing more can be read, and disconnect() commits no
    // deletion.
    virtual bool sessionLost() const { return false; }
    // Marks the current message deleted; committed at disconnect.
    virtual void deleteMessage() = 0;
    // A hint: message n's body will be read soon (its header was read and
    // its handling will need the whole message). A component may start the
    // download then, so that fetchMessage() for n does not wait for it; a
    // failed download is raised by the call that reads the message, as
    // without the hint.
    virtual void willFetch(long n) { (void)n; }
    // How many headers past the current message the run may read before it
    // handles that message, so that willFetch comes early enough to help.
    // 0: the component gains nothing from hints and the run reads in order.
    virtual int headersAhead() const { return 0; }
    // Makes the whole current message available and sets from(), to(),
    // subject() from it. Downloads it at most once per selected message.
    virtual void fetchMessage() = 0;
    // The four calls below read the whole current message: each downloads it
    // first when it is not there yet (once per selected message, as
    // fetchMessage does), and none of them changes from(), to(), subject().
    // Header lines and the decoded text of the message, handed over in
    // pieces (whose bounds mean nothing), so that a large message is not
    // copied whole.
    virtual void workTextPieces(const std::function<void(std::string_view)>& piece) = 0;
    // The message exactly as received, for sending on with a new addressing.
    virtual void saveMessageFile(const std::string& path) = 0;
    // Attachment parts of the message.
    virtual int extraCount() = 0;
    // The first text part of the message, decoded.
    virtual std::string bodyText() = 0;
    // The recipients a delivery report in the message reports (a
    // message/delivery-status part); none when it holds no report.
    virtual std::vector<DeliveryStatus> deliveryReport() { return {}; }

    virtual std::string from() const = 0;
    virtual std::string to() const = 0;
    virtual std::string subject() const = 0;
    virtual void setFrom(const std::string& value) = 0;
    virtual void setTo(const std::string& value) = 0;
    virtual void setSubject(const std::string& value) = 0;

    // SMTP ------------------------------------------------------------
    // ESMTP authenticates with the POP3 user and password; SMTP does not.
    virtual void smtpConnect(const std::string& host, SmtpProtocol protocol,
                             const std::string& user, const std::string& password) = 0;
    virtual void send(const OutgoingMessage& message) = 0;
    // The RCPT commands the message takes, as providers count a sending
    // limit; at least 1.
    virtual std::size_t recipientCount(const OutgoingMessage& message) const {
        return message.copyTo.empty() ? 1 : 2;
    }
    // How many messages sendBatch keeps awaiting their replies on the open
    // connection: more than one only where the server pipelines.
    virtual std::size_t sendWindow() const { return 1; }
    // Sends the messages in order; never throws. One result per message
    // whose outcome is known, in order: the messages after the last result
    // were not sent, or a lost connection left their fate unknown, and go
    // again on a new connection. This one stops at the first failure.
    virtual std::vector<SendResult> sendBatch(const std::vector<OutgoingMessage>& messages);

    // Ends whichever sessions are open: QUIT on POP3 commits deletions.
    virtual void disconnect() = 0;

    // After popConnect: whether the mailbox can tell of new mail as it comes
    // (IMAP IDLE), and a wait for it of at most `seconds`, ended early when
    // `stop` says so; true for new mail.
    virtual bool idleOffered() const { return false; }
    virtual bool waitForNewMail(int seconds, const std::function<bool()>& stop) {
        (void)seconds;
        (void)stop;
        return false;
    }
};

}  // namespace vorel
