#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Dovecot runs its mail user as nobody, which only root can arrange.
#define VOREL_SKIP_UNLESS_ROOT() \
    if (::geteuid() != 0)        \
    GTEST_SKIP() << "needs root: the test POP3 server (Dovecot) runs its mail user as nobody"

namespace vorel::test {

sockaddr_in loopbackAddress(int port);  // 127.0.0.1:port
// A loopback port that was free a moment ago (the kernel picks it); throws when none.
int freeLoopbackPort();
// True when something accepts connections on 127.0.0.1:port.
bool loopbackPortAnswers(int port);
// Starts args[0] in a process group of its own, output appended to logPath.
pid_t startProcess(const std::vector<std::string>& args, const std::string& logPath);

// A real POP3 server on 127.0.0.1 at a free port with one user and a Maildir
// under a temporary folder; no process outlives the object.
class PopServer {
public:
    // Mailutils pop3d's greeting always carries an APOP timestamp.
    enum class Kind { Dovecot, Mailutils };
    struct Options {
        bool tls = false;  // also a POP3S port, and STLS on the plain port (Dovecot)
        std::string user = "alice", password = "s3cret-Pw";
        Kind kind = Kind::Dovecot;
        bool apopSecret = false;  // Mailutils: the account has an APOP secret (its password)
        // Dovecot: OAuth2 logins (SASL XOAUTH2, OAUTHBEARER) whose tokens this
        // introspection endpoint judges (OAuthStub::introspectionUrl).
        std::string introspectionUrl = {};
        // Dovecot: a submission service (SMTP AUTH with the same logins) that
        // relays to the SMTP server on this port.
        int submissionRelayPort = 0;
        // Dovecot: IMAP as well (STARTTLS on imapPort and an IMAPS port when tls).
        bool imap = false;
        bool imapIdle = true;  // false: neither IDLE nor UIDPLUS offered
    };
    PopServer() : PopServer(Options{}) {}
    explicit PopServer(const Options& options);
    ~PopServer();
    PopServer(const PopServer&) = delete;
    PopServer& operator=(const PopServer&) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }                      // plain POP3 (STLS offered when tls)
    int tlsPort() const { return tlsPort_; }                // POP3S; 0 without tls
    int submissionPort() const { return submissionPort_; }  // 0 without submissionRelayPort
    const std::string& user() const { return user_; }       // user@domain with Mailutils
    const std::string& password() const { return password_; }
    std::string caFile() const { return caFile_; }    // PEM of the self-signed certificate (tls)
    int imapPort() const { return imapPort_; }        // IMAP (imap); 0 without
    int imapTlsPort() const { return imapTlsPort_; }  // IMAPS (imap and tls); 0 without
    // "imap://127.0.0.1:port" (STARTTLS) or "imaps://..." (TLS first), for txtPOP.
    std::string imapAddress(bool implicitTls = false) const;

    // Seeds the next message (numbered in the order added); LF becomes CR LF.
    void addMessage(const std::string& raw);
    std::vector<std::string> messages() const;  // still in the mailbox, in POP3 order
    std::size_t messageCount() const;
    std::string log() const;  // Dovecot's log
    void kill();              // at once, as a server that dies mid-session
    void restart();           // after kill(): the same server on the same ports
    std::string maildir() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0, tlsPort_ = 0, submissionPort_ = 0, imapPort_ = 0, imapTlsPort_ = 0;
    std::string user_, password_, caFile_;
};

// A recording SMTP server (aiosmtpd, tests/support/smtp_server.py) on 127.0.0.1.
class SmtpServer {
public:
    struct Options {
        std::string authUser;  // non-empty: AUTH PLAIN/LOGIN offered and required
        std::string authPassword;
        std::vector<std::string> refuseRecipients;  // 550 on RCPT TO
        std::vector<std::string> refuseSenders;     // 550 on MAIL FROM
        bool pipelining = false;   // advertise PIPELINING (RFC 2920) in the EHLO reply
        bool tls = false;          // STARTTLS on the plain port, and an SMTPS port
        bool smtputf8 = false;     // offer SMTPUTF8 (RFC 6531) and take UTF-8 addresses
        bool eightBitMime = true;  // offer 8BITMIME (RFC 6152); without it 8-bit data is refused
        bool chunking = false;     // offer CHUNKING (RFC 3030): BDAT
        std::vector<std::string> refuseContent = {};  // 554 for a message whose data holds one
        // After this many messages every RCPT gets `limitReply` (a provider's cap); -1: never.
        int limitAfter = -1;
        std::string limitReply = "550 5.4.5 Daily user sending limit exceeded";
        // "mail|rcpt|data:WORD:REPLY": that reply where the address (or the data) holds WORD.
        std::vector<std::string> replies = {};
        int maxRecipients = 0;  // then 452 4.5.3 within the transaction; 0: no bound
    };
    struct Received {
        int session = 0;  // 1 for the first connection, 2 for the next ...
        std::string mailFrom,
            mailOptions;  // mailOptions: the MAIL FROM parameters, e.g. "SMTPUTF8"
        std::vector<std::string> rcptTo;
        std::string data;  // the message as received, CR LF line ends
    };
    SmtpServer() : SmtpServer(Options{}) {}
    explicit SmtpServer(const Options& options);
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }        // SMTPS; 0 without tls
    std::string caFile() const { return caFile_; }  // PEM of the self-signed certificate (tls)
    std::vector<Received> received() const;
    int sessionCount() const;  // connections opened so far
    int limitedCount() const;  // RCPT commands answered with the limit reply

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0, tlsPort_ = 0;
    std::string caFile_;
};

// An OAuth2 provider on 127.0.0.1 (tests/support/oauth_stub.py): authorization
// endpoint, token endpoint (checks the PKCE verifier, issues and refreshes
// tokens for one user) and the introspection endpoint a Dovecot judges
// tokens by.
class OAuthStub {
public:
    explicit OAuthStub(const std::string& user, const std::string& clientId = "vorel-test-client");
    ~OAuthStub();
    OAuthStub(const OAuthStub&) = delete;
    OAuthStub& operator=(const OAuthStub&) = delete;

    std::string url(const std::string& path) const;  // http://127.0.0.1:port/path
    std::string introspectionUrl() const { return url("introspect"); }
    const std::string& clientId() const { return clientId_; }
    // Every refresh token is refused from now on (invalid_grant).
    void revokeRefreshTokens();
    // The next access token issued is refused by the mail servers.
    void makeNextAccessTokenStale();
    // A refresh token the token endpoint takes from now on.
    void addRefreshToken(const std::string& token);
    // Every token issued so far, access and refresh.
    std::vector<std::string> issuedTokens() const;
    // Grant types of the token requests so far, in order.
    std::vector<std::string> tokenRequests() const;

private:
    void control(const std::string& form);
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::string clientId_;
};

// A private Postfix relay on 127.0.0.1 (needs /usr/sbin/postfix and root):
// its virtual delivery agent serves `domain`, delivering each mapped address
// into a folder under `mailRoot` as nobody, and bounces mail for any other
// address there after accepting it, as a real provider does.
class PostfixServer {
public:
    struct Options {
        std::string domain = "me.example";
        std::string mailRoot;  // e.g. PopServer's home root
        // address -> Maildir relative to mailRoot, ending in "/"
        std::vector<std::pair<std::string, std::string>> mailboxes;
        // Every message accepted, for any domain, and none delivered: the
        // relay of a benchmark of the sending side.
        bool discard = false;
    };
    static bool installed();
    explicit PostfixServer(const Options& options);
    ~PostfixServer();
    PostfixServer(const PostfixServer&) = delete;
    PostfixServer& operator=(const PostfixServer&) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    std::string log() const;  // Postfix's maillog (its start-up errors go to the exception)

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace vorel::test
