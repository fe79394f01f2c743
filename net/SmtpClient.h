#pragma once

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
//   fails it (20002), so that the run queues it again whole.
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
    // QUIT; a failure is no loss, everything sent having been accepted.
    void quit();

private:
    // The first refusing reply (4xx or 5xx) of a batch; code 0: none.
    struct Refusal {
        int code = 0;
        std::string text;
    };

    // Reads `count` replies, every one of them, in the order their commands
    // went out.
    Refusal readReplies(std::size_t count);
    // Sends commands one at a time, each after the last one's reply; the
    // first refusal ends them.
    Refusal commands(const std::vector<std::string>& lines);
    void sendData(std::vector<std::string> envelope, std::string data);
    void sendChunked(const std::vector<std::string>& envelope, std::string data);
    // True when the message needs SMTPUTF8; throws when it needs it and the
    // server does not offer it.
    bool needsSmtpUtf8(const OutgoingMessage& message);

    const SessionSettings& settings_;
    std::unique_ptr<Session> s_;
};

}  // namespace vorel
