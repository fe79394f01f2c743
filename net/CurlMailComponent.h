#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/MailComponent.h"
#include "net/MailboxClient.h"
#include "net/Mime.h"
#include "net/Session.h"

namespace vorel {

// The mail component on libcurl (transport, TLS, authentication) and GMime
// (reading and writing messages): a front over one client per protocol,
// Pop3Client or ImapMailbox for the mailbox and SmtpClient for sending, each
// over its own Session. The message selected, its header and its parsed
// content are kept here, whichever protocol fetched them.
//
// Decisions for this platform:
// - Header values are decoded (RFC 2047, unfolded). From and To keep display
//   names and brackets, several addresses joined with ", ".
// - libcurl opens the connection, negotiates TLS and checks certificates
//   (CONNECT_ONLY, through a multi handle so that the wait handler is told
//   while it waits); for SMTP and IMAP it also logs in. The commands of the
//   session are then written and read over that connection by the clients.
// - The POP3 login is ours (popLogin): SASL PLAIN or LOGIN where CAPA offers
//   them, else USER/PASS, and APOP only where USER is not offered or was
//   refused. libcurl prefers APOP whenever the greeting has a timestamp and
//   cannot fall back, and many servers put one in every greeting whether or
//   not the account has an APOP secret. libcurl's own request cycle would
//   silently log in again after an -ERR reply or a dropped connection (with
//   other message numbers and pending deletions lost or committed); here an
//   -ERR is just a failed command, and a lost connection ends the session
//   (10057), its socket shut without QUIT so nothing pending is committed.
// - One mailbox connection per session; deletions are committed by the QUIT
//   of disconnect(), whose answer is checked. Deleting a message already
//   marked deleted does nothing; any other use of it is refused (31002).
// - Round trips: see Pop3Client (headers read ahead, DELE not waited for; a
//   refused DELE is raised by disconnect() after the QUIT that commits the
//   others, so that the run's try fails and no other message is blamed) and
//   SmtpClient (MAIL, RCPT and DATA or BDAT pipelined; a message goes to all
//   its recipients or to none).
// - bodyText() is the first text part that is not an attachment, as UTF-8
//   (NULs dropped; text that does not decode in its charset read as
//   Windows-1252; unlabelled UTF-16 known by its byte-order mark);
//   extraCount() counts every other part except the alternatives of that
//   text and signatures.
// - workTextPieces() hands over decoded header lines and the decoded text,
//   so that "name=value" lines survive quoted-printable and base64 bodies;
//   saveMessageFile() writes the message exactly as received, and send()
//   with sourceFile sends it whole under the new addressing; only parts the
//   server would refuse (a line over 998 octets, 8-bit data without
//   8BITMIME) go re-encoded.
// - Server settings: "host[:port]" upgrades with STARTTLS when offered and
//   otherwise goes on in clear (with a notice unless the host is loopback);
//   pop3:// and smtp:// require STARTTLS; pop3s:// and smtps:// are TLS from
//   the first byte. Certificates are checked against the system store plus
//   the file named by VOREL_CA_FILE. An imap:// (STARTTLS) or imaps://
//   setting reads the INBOX over IMAP instead (ImapMailbox); libcurl logs in
//   there, with SASL as offered or LOGIN, and the calls above stay the same.
// - Protocol 0 sends without authentication; 2 authenticates with the
//   mechanisms the server offers (libcurl greets with EHLO either way).
// - Sending: text that is not pure ASCII goes out as UTF-8 in
//   quoted-printable (so do over-long lines); header values that need it are
//   encoded; every message gets Date, MIME-Version and a unique Message-ID
//   whose left part is messageRef; Sender only when it differs from From;
//   CopyTo is a Cc field and one more recipient.
// - Error codes: host not found 11001; refused or unreachable 10065; login
//   refused 20012 (SASL cannot tell the user from the password); a POP3
//   host that answers but does not greet or list like a POP3 server 0; an
//   SMTP refusal (5xx) 20002; a lost connection, a time-out or garbage in
//   the middle of a session 10057; an -ERR answer to a command 30008; TLS
//   failures 30000 + libcurl's code, with a notice saying why.
// - Destroying the component ends its sessions as disconnect() does.
class ImapMailbox;
class SmtpClient;

class CurlMailComponent : public MailComponent {
public:
    CurlMailComponent();
    ~CurlMailComponent() override;
    CurlMailComponent(const CurlMailComponent&) = delete;
    CurlMailComponent& operator=(const CurlMailComponent&) = delete;

    void setTranscriptHandler(TranscriptHandler handler) override;
    void setTranscriptOn(bool on) override;
    bool transcriptOn() const override { return settings_.transcriptOn; }
    void setNoticeHandler(NoticeHandler handler) override;
    void setWaitHandler(WaitHandler handler) override;
    void setTimeout(int seconds) override;
    void setXoauth2(bool on) override { settings_.xoauth2 = on; }

    void popConnect(const std::string& host, const std::string& user,
                    const std::string& password) override;
    long messageCount() override;
    std::vector<std::string> uniqueIds() override;
    void selectMessage(long i) override;
    void fetchHeader() override;
    std::string headerField(const std::string& name) const override;
    std::vector<std::string> headerFields(const std::string& name, std::size_t most) const override;
    bool hasHeaderField(const std::string& name) const override;
    std::optional<std::int64_t> arrivalTime() const override {
        return mime::arrivalTime(header_.fields);
    }
    bool sessionLost() const override;
    void deleteMessage() override;
    void willFetch(long n) override;
    int headersAhead() const override;
    void fetchMessage() override;
    void workTextPieces(const std::function<void(std::string_view)>& piece) override;
    void saveMessageFile(const std::string& path) override;
    int extraCount() override;
    std::string bodyText() override;
    std::vector<DeliveryStatus> deliveryReport() override;

    std::string from() const override { return from_; }
    std::string to() const override { return to_; }
    std::string subject() const override { return subject_; }
    void setFrom(const std::string& value) override { from_ = value; }
    void setTo(const std::string& value) override { to_ = value; }
    void setSubject(const std::string& value) override { subject_ = value; }

    void smtpConnect(const std::string& host, SmtpProtocol protocol, const std::string& user,
                     const std::string& password) override;
    void send(const OutgoingMessage& message) override;
    std::size_t recipientCount(const OutgoingMessage& message) const override;
    std::size_t sendWindow() const override;
    std::vector<SendResult> sendBatch(const std::vector<OutgoingMessage>& messages) override;

    void disconnect() override;

    // IMAP only, after popConnect: whether the server offers IDLE, and a
    // wait in IDLE for new mail (see ImapMailbox::waitForNewMail).
    bool idleOffered() const override;
    bool waitForNewMail(int seconds, const std::function<bool()>& stop) override;

private:
    // read: for a header, a message or a deletion (MailboxClient::checkRead).
    MailboxClient& mailbox(bool read = false);
    void requireMessage() const;
    const mime::ParsedMessage& ensureMessage();
    void closePop(bool quit);
    void closeSmtp(bool quit);

    // First: the clients' sessions read it until they are gone.
    SessionSettings settings_;

    std::unique_ptr<MailboxClient> mailbox_;  // POP3 or IMAP
    ImapMailbox* imap_ = nullptr;             // mailbox_ when it is IMAP
    std::unique_ptr<SmtpClient> smtp_;
    std::optional<std::vector<std::string>> uids_;  // the unique ids, once asked
    long current_ = 0;

    bool headerFetched_ = false;
    mime::ParsedHeader header_;
    bool messageFetched_ = false;
    std::string raw_;
    std::string workHead_;  // the work text's header lines, once made (the body goes as it is)
    mime::ParsedMessage message_;

    std::string from_;
    std::string to_;
    std::string subject_;
};

}  // namespace vorel
