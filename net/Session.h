#pragma once

#include <curl/curl.h>

#include <cstdint>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/MailComponent.h"
#include "net/ServerAddress.h"

namespace vorel {

// Where a libcurl failure happened: the same transport error means different
// things while connecting and in the middle of a session.
enum class MailPhase { PopConnect, PopCommand, SmtpConnect, SmtpSend };

// The one place where transport failures become the run's error codes.
// responseCode is the last server reply code libcurl saw (SMTP), 0 if none.
int mailErrorCodeFor(int curlCode, long responseCode, MailPhase phase);
// The code for an SMTP server's refusal (reply 4xx or 5xx) of a command.
int mailErrorCodeForReply(int reply);

// How often a wait on a server looks up from the socket.
constexpr long long kWaitSliceMs = 100;

// How much of a payload goes in the same write as its commands (the rest
// follows at once): enough for most messages whole, without copying a large
// one.
constexpr std::size_t kJoinedPayload = 256u << 10;

// What every connection of the component shares: where its lines are told,
// how long a server may keep it waiting, and who is told meanwhile. Owned by
// the component; the sessions read it as it is set.
struct SessionSettings {
    MailComponent::TranscriptHandler transcript;
    MailComponent::NoticeHandler notice;
    MailComponent::WaitHandler wait;
    bool transcriptOn = false;
    int timeout = 60;
    bool xoauth2 = false;
};

// One connection of the component, POP3, SMTP or IMAP, after libcurl has
// opened and secured it: the commands are written and the replies read here,
// with the transcript, the time-out and the wait handler of the component.
struct Session {
    // libcurl connects, upgrades with STARTTLS (or starts TLS) and greets;
    // with `authenticate` it also logs in (SMTP, IMAP, POP3 with XOAUTH2).
    // A plain POP3 login is ours (popLogin): libcurl would try APOP first
    // wherever the greeting has a timestamp, and could not fall back.
    // `service` picks the default port and scheme; SMTP greets with EHLO.
    // A mailbox is opened as Pop3: an imap:// or imaps:// address reads it
    // over IMAP.
    static std::unique_ptr<Session> open(const std::string& host, ServerAddress::Service service,
                                         const std::string& user, const std::string& password,
                                         bool authenticate, const SessionSettings& settings);

    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CURL* curl = nullptr;
    // Drives the connect and login, so that they can be waited on in slices.
    CURLM* multi = nullptr;
    curl_socket_t fd = CURL_SOCKET_BAD;
    ServerAddress address;
    std::string in;      // received and not yet consumed from inPos on
    std::string outbox;  // commands that go out with the next write
    std::size_t inPos = 0;
    bool connecting = true;
    bool startTlsSent = false;
    bool pipelining = false;
    bool smtputf8 = false;        // EHLO offered SMTPUTF8 (RFC 6531)
    bool eightBitMime = false;    // EHLO offered 8BITMIME (RFC 6152)
    bool chunking = false;        // EHLO offered CHUNKING (RFC 3030): BDAT
    bool sizeOffered = false;     // EHLO offered SIZE (RFC 1870): MAIL FROM takes SIZE=
    std::uint64_t sizeLimit = 0;  // the largest message SIZE names; 0: none named
    // The longest any one wait may last whatever the time-out (0: none);
    // SMTP's replies are bounded by RFC 5321's longest limit.
    int waitCeiling = 0;
    // What libcurl's part of the dialogue showed of a POP3 server: its
    // greeting (with an APOP timestamp or not) and its last CAPA list.
    std::string greeting;
    std::vector<std::string> capabilities;
    bool inCapa = false;
    bool broken = false;
    // The server's last line, for the words of a refused login.
    mutable std::string lastReceived;
    const SessionSettings* settings = nullptr;
    char error[CURL_ERROR_SIZE] = {};

    // Closes the connection without a QUIT: a POP3 QUIT would commit
    // deletions made in a session we can no longer vouch for, and libcurl
    // says QUIT on cleanup unless the socket is already shut.
    void abandon();
    void emit(std::string_view line, TranscriptDirection direction) const;
    // Ends the session: 10057 with the host and `why`.
    [[noreturn]] void lost(const std::string& why);
    void waited() const;
    // Waits in short slices, telling the wait handler between them.
    void waitFor(short events);
    // libcurl connects, negotiates TLS and (where asked) logs in; the wait
    // handler is told between slices as while any other reply is awaited.
    CURLcode connectAndLogIn();
    // Everything in as few writes as the connection takes.
    void sendAll(std::string_view data);
    // What the server sent next, up to `size` bytes into `buffer`; returns
    // how many. A wait is bounded by the time-out, unless `idle`: then
    // nothing within one slice returns 0 (IMAP IDLE waits as long as it
    // likes). An error or a closed connection ends the session.
    std::size_t receive(char* buffer, std::size_t size, bool idle = false);
    // Sends the lines after any held back in the outbox, in one write, and
    // `payload` (a message, kept out of the transcript) in the same write:
    // a server that finds its input empty after the commands answers them
    // at once, and the reply to the payload can then wait on the client's
    // delayed acknowledgement (Postfix: about 40 ms a message).
    void sendLines(const std::string& lines, std::string_view payload = {});
    // The next line, LF included; valid until the next call. A line longer
    // than `limit` or a closed connection ends the session.
    std::string_view readLine(std::size_t limit);
    // A multi-line POP3 reply after its status line: dot-unstuffed, the
    // final "." line dropped. `expected` (a message's size from LIST) is
    // reserved up front: growing a large message by doubling would touch
    // up to three times its size. (A server's word only up to 1 GB.)
    std::string readMultiline(std::size_t limit, std::size_t expected = 0);
    // A POP3 status line, into the transcript: true for +OK, false for -ERR;
    // anything else ends the session.
    bool readStatus(std::string& status);
    // An SMTP reply: its code, every line in the transcript.
    int readReply(std::string* text);
};

}  // namespace vorel
