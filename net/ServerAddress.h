#pragma once

#include <string>

namespace vorel {

// Where a mail server is and how the connection to it is protected, as the
// user writes it in the POP3 and SMTP settings: "host", "host:port", or a URL
// "pop3://", "pop3s://", "smtp://", "smtps://" with an optional port. The
// POP3 setting also takes "imap://" and "imaps://": the mailbox is then read
// over IMAP (service Imap).
struct ServerAddress {
    enum class Security {
        Implicit,       // pop3s:// smtps:// imaps://: TLS from the first byte
        Required,       // pop3:// smtp:// imap://: STARTTLS or fail
        Opportunistic,  // bare host: STARTTLS when offered, else clear text
    };
    enum class Service { Pop3, Smtp, Imap };

    std::string host;  // without brackets, even for IPv6
    int port = 0;
    Security security = Security::Opportunistic;
    Service service = Service::Pop3;

    // "pop3://host:port" etc. for libcurl (IPv6 hosts in brackets).
    std::string url() const;
    bool loopback() const;
};

// Parses a server setting; throws std::invalid_argument when it names no
// usable server (empty, a scheme of another service, a bad port). Asked for
// Pop3, an imap:// or imaps:// setting gives an Imap address. Our own: the
// bare "host" and "host:port" forms and each service's schemes are this
// program's setting, not a URL, so no URL parser does the job.
ServerAddress parseServerAddress(const std::string& text, ServerAddress::Service service);

// Whether a mailbox setting names an IMAP mailbox; false for one that names
// no usable server (connecting reports that).
bool isImapAddress(const std::string& text);

// 127.0.0.0/8, ::1 and "localhost".
bool isLoopbackHost(const std::string& host);

}  // namespace vorel
