#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/MailComponent.h"

namespace vorel {

struct Session;
struct SessionSettings;

// The SMTP side of the mail component over one connection.
//
// - libcurl connects, secures the connection, greets with EHLO and (ESMTP)
//   authenticates; the transactions are written and read here.
// - Where the server offers PIPELINING, MAIL, RCPT and DATA go in one write,
//   and where it also offers CHUNKING the message goes in the same write as
//   one BDAT chunk. Replies are read in order, through readReplies().
// - A message goes to all its recipients or to none: one refused address
//   fails it (20002), so that the run queues it again whole. Only a server
//   that takes fewer recipients per transaction (452 4.5.3) gets the message
//   in several.
// - Where the server names a SIZE, a larger message is not sent (20002,
//   with a notice naming both sizes); MAIL FROM carries SIZE= where offered.
// - sendBatch() streams where the server offers PIPELINING: with CHUNKING
//   each message's MAIL, RCPT and BDAT LAST chunk go out without waiting for
//   the previous message's replies, at most window() messages awaiting
//   theirs; without it each write carries one message's data and the next
//   one's MAIL, RCPT and DATA. Each message gets its own result.
// - A lost connection ends the session: later sends are refused (10057)
//   until the next connect.
class SmtpClient {
public:
    explicit SmtpClient(const SessionSettings& settings);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // ESMTP authenticates with `user` and `password`; SMTP does not.
    void connect(const std::string& host, SmtpProtocol protocol, const std::string& user,
                 const std::string& password);
    void send(const OutgoingMessage& message);
    // Messages sendBatch keeps awaiting their replies: 1 where the server
    // cannot stream them.
    std::size_t window() const;
    // See MailComponent::sendBatch.
    std::vector<SendResult> sendBatch(const std::vector<OutgoingMessage>& messages);
    // QUIT; a failure is no loss, everything sent having been accepted.
    void quit();

private:
    // The first refusing reply (4xx or 5xx) of a batch; code 0: none. When
    // every refusal was a RCPT's "452 4.5.3" (too many recipients) and some
    // RCPT was accepted, the code is 0 and `rest` holds the refused RCPTs.
    struct Refusal {
        int code = 0;
        std::string text;
        SmtpStep step = SmtpStep::Unknown;
        std::vector<std::string> rest;
    };

    // What goes on the wire for one message: MAIL, one RCPT per recipient,
    // and the data (not yet dot-stuffed).
    struct Transaction {
        std::vector<std::string> envelope;
        std::string data;
    };
    // Throws MailError when the message cannot go (no recipient, an
    // address the server cannot take, an unreadable message file).
    Transaction prepare(const OutgoingMessage& message);
    // A failure that broke the session drops it.
    void dropIfBroken();
    // sendBatch's stream where the server offers PIPELINING but not CHUNKING.
    std::vector<SendResult> streamData(const std::vector<OutgoingMessage>& messages);
    // What the loop of a batch asks of one way of streaming: `send` streams
    // message k, one recipient, prepared (false: the batch ends there, its
    // results cut); `drain` reads every reply still outstanding;
    // `firstUnsettled` names the first message whose fate a lost connection
    // leaves open, `next` being the one the loop was at.
    struct Stream {
        std::function<bool(std::size_t k, Transaction& t)> send;
        std::function<void()> drain;
        std::function<std::size_t(std::size_t next)> firstUnsettled;
    };
    void streamBatch(const std::vector<OutgoingMessage>& messages, std::vector<SendResult>& results,
                     const Stream& stream);

    // Reads `count` replies, every one of them, in the order their commands
    // went out: MAIL's, then RCPT's (`sent`: those commands, for a split).
    Refusal readReplies(std::size_t count, const std::vector<std::string>& sent = {});
    // Sends commands one at a time, each after the last one's reply; the
    // first refusal ends them (a 4.5.3 after an accepted RCPT leaves the
    // rest for the next transaction).
    Refusal commands(const std::vector<std::string>& lines);
    // A message to all its recipients, in as many transactions as the
    // server takes them in (452 4.5.3, RFC 5321 4.5.3.1.10).
    void sendWhole(std::vector<std::string> envelope, const std::string& data);
    // One transaction; the recipients the server left for another come back.
    std::vector<std::string> sendData(std::vector<std::string> envelope, const std::string& data);
    std::vector<std::string> sendChunked(const std::vector<std::string>& envelope,
                                         const std::string& data);
    MailError refusal(const Refusal& r, const std::string& what) const;
    // True when the message needs SMTPUTF8; throws when it needs it and the
    // server does not offer it.
    bool needsSmtpUtf8(const OutgoingMessage& message);

    const SessionSettings& settings_;
    std::unique_ptr<Session> s_;
};

}  // namespace vorel
