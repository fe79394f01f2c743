#include "net/SmtpClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/Idn.h"
#include "base/TextCompare.h"
#include "net/Mime.h"
#include "net/Session.h"

namespace vorel {
namespace {

// Read into one string of the file's size, with room for the longer header
// block that readdress puts in place of the old one: a large message file is
// held once.
std::string readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw MailError(mailcode::kFile, "cannot open message file " + path);
    }
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        out.reserve(static_cast<std::size_t>(st.st_size) + (64u << 10));
    }
    char buffer[64 * 1024];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            throw MailError(mailcode::kFile, "cannot read message file " + path);
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

// DATA: lines starting with "." get another, the end is ".".
std::string dotStuffed(const std::string& data) {
    std::string out;
    out.reserve(data.size() + data.size() / 64 + 8);
    bool lineStart = true;
    for (char c : data) {
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = c == '\n';
    }
    if (!lineStart) {
        out += "\r\n";
    }
    out += ".\r\n";
    return out;
}

}  // namespace

SmtpClient::SmtpClient(const SessionSettings& settings) : settings_(settings) {}

SmtpClient::~SmtpClient() = default;

void SmtpClient::connect(const std::string& host, SmtpProtocol protocol, const std::string& user,
                         const std::string& password) {
    s_ = Session::open(host, ServerAddress::Service::Smtp, user, password,
                       protocol == SmtpProtocol::Esmtp, settings_);
}

SmtpClient::Refusal SmtpClient::readReplies(std::size_t count) {
    Refusal first;
    std::string text;
    for (std::size_t k = 0; k < count; ++k) {
        const int reply = s_->readReply(&text);
        if (reply >= 400 && first.code == 0) {
            first = {reply, text};
        }
    }
    return first;
}

SmtpClient::Refusal SmtpClient::commands(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        s_->sendLines(line + "\r\n");
        if (Refusal r = readReplies(1); r.code != 0) {
            return r;
        }
    }
    return {};
}

// Addresses that are not ASCII go out as they are where the server takes
// UTF-8 (SMTPUTF8); elsewhere a domain goes in its ASCII form (GMime writes
// header fields that way), and a local part that is not ASCII cannot go at
// all: the server would refuse it.
bool SmtpClient::needsSmtpUtf8(const OutgoingMessage& message) {
    bool ascii = true;
    for (const std::string* field :
         {&message.to, &message.copyTo, &message.from, &message.sender}) {
        for (const auto& a : mime::mailboxes(*field)) {
            if (isAscii(a)) {
                continue;
            }
            ascii = false;
            if (!s_->smtputf8 && !asciiAddress(a)) {
                if (settings_.notice) {
                    settings_.notice("Cannot send to or from " + a + ": " + s_->address.host +
                                     " does not accept addresses in UTF-8 (SMTPUTF8)");
                }
                throw MailError(mailcode::kSendRefused, a + ": needs SMTPUTF8");
            }
        }
    }
    return !ascii && s_->smtputf8;
}

void SmtpClient::send(const OutgoingMessage& message) {
    if (!s_ || s_->broken) {
        throw MailError(mailcode::kNotConnected, "no SMTP session");
    }
    const bool utf8 = needsSmtpUtf8(message);
    const std::string id = mime::makeMessageId(message.messageRef, message.from);
    std::string data = message.sourceFile.empty()
                           ? mime::composeText(message, id)
                           : mime::readdress(mime::encodeForSmtp(readWholeFile(message.sourceFile),
                                                                 s_->eightBitMime),
                                             message, id);
    std::vector<std::string> rcpt = mime::mailboxes(message.to, !utf8);
    for (const auto& a : mime::mailboxes(message.copyTo, !utf8)) {
        rcpt.push_back(a);
    }
    if (rcpt.empty()) {
        throw MailError(mailcode::kSendRefused, "no recipient for the message");
    }
    const auto senders =
        mime::mailboxes(message.sender.empty() ? message.from : message.sender, !utf8);
    // 8-bit data is declared where the server takes it (RFC 6152); without
    // 8BITMIME the forward was re-encoded above and a reply is 7-bit.
    const bool eightBit = s_->eightBitMime && std::any_of(data.begin(), data.end(), [](char c) {
                              return static_cast<unsigned char>(c) > 127;
                          });
    std::vector<std::string> envelope = {
        "MAIL FROM:<" + (senders.empty() ? std::string() : senders[0]) + ">" +
        (eightBit ? " BODY=8BITMIME" : "") + (utf8 ? " SMTPUTF8" : "")};
    for (const auto& a : rcpt) {
        envelope.push_back("RCPT TO:<" + a + ">");
    }
    try {
        if (s_->pipelining && s_->chunking) {
            sendChunked(envelope, std::move(data));
        } else {
            sendData(std::move(envelope), std::move(data));
        }
    } catch (const MailError&) {
        if (s_->broken) {
            s_.reset();
        }
        throw;
    }
}

void SmtpClient::sendData(std::vector<std::string> envelope, std::string data) {
    Session& s = *s_;
    data = dotStuffed(data);
    std::string text;
    if (s.pipelining) {
        // MAIL, RCPT and DATA in one write (RFC 2920): DATA is refused
        // when no recipient was accepted; when only some were, the
        // transaction is dropped with the connection rather than
        // finished, since a message goes to all its recipients or none.
        envelope.push_back("DATA");
        std::string all;
        for (const auto& c : envelope) {
            all += c + "\r\n";
        }
        s.sendLines(all);
        const Refusal refused = readReplies(envelope.size() - 1);
        const int dataReply = s.readReply(&text);
        if (refused.code != 0 && dataReply == 354) {
            s.broken = true;
            s.abandon();
            throw MailError(
                mailErrorCodeForReply(refused.code),
                s.address.host + ": recipient refused (" + std::to_string(refused.code) + ")",
                refused.text);
        }
        if (refused.code != 0 || dataReply != 354) {
            commands({"RSET"});
            const int code = refused.code != 0 ? refused.code : dataReply;
            throw MailError(mailErrorCodeForReply(code),
                            s.address.host + ": refused (" + std::to_string(code) + ")",
                            refused.code != 0 ? refused.text : text);
        }
    } else {
        // Any refused address refuses the message: it is queued again whole.
        if (const Refusal refused = commands(envelope); refused.code != 0) {
            commands({"RSET"});
            throw MailError(
                mailErrorCodeForReply(refused.code),
                s.address.host + ": envelope refused (" + std::to_string(refused.code) + ")",
                refused.text);
        }
        s.sendLines("DATA\r\n");
        if (const int reply = s.readReply(&text); reply != 354) {
            commands({"RSET"});
            throw MailError(mailErrorCodeForReply(reply), s.address.host + ": DATA: " + text, text);
        }
    }
    s.sendAll(data);
    if (const int reply = s.readReply(&text); reply >= 400) {
        throw MailError(mailErrorCodeForReply(reply), s.address.host + ": message: " + text, text);
    }
}

// MAIL, RCPT and the message as one BDAT chunk (RFC 3030) in one write, so
// that a message costs one round trip. With one recipient the chunk is the
// LAST: a refused recipient leaves none, and the server refuses the chunk.
// With several, the chunk waits for a "BDAT 0 LAST" sent only when every
// recipient was accepted (else RSET drops it): all or none.
void SmtpClient::sendChunked(const std::vector<std::string>& envelope, std::string data) {
    Session& s = *s_;
    if (!data.empty() && data.back() != '\n') {
        data += "\r\n";
    }
    const bool single = envelope.size() == 2;
    std::string batch;
    for (const auto& c : envelope) {
        batch += c + "\r\n";
    }
    batch += "BDAT " + std::to_string(data.size()) + (single ? " LAST\r\n" : "\r\n");
    s.sendLines(batch);
    s.sendAll(data);
    data.clear();
    data.shrink_to_fit();
    const Refusal refused = readReplies(envelope.size());
    std::string text;
    int chunkReply = s.readReply(&text);
    if (!single && refused.code == 0 && chunkReply < 400) {
        s.sendLines("BDAT 0 LAST\r\n");
        chunkReply = s.readReply(&text);
    }
    if (refused.code != 0 || chunkReply >= 400) {
        // The transaction is over for the server too; RSET makes sure.
        commands({"RSET"});
        if (refused.code != 0) {
            throw MailError(mailErrorCodeForReply(refused.code),
                            s.address.host + ": refused (" + std::to_string(refused.code) + ")",
                            refused.text);
        }
        throw MailError(mailErrorCodeForReply(chunkReply), s.address.host + ": message: " + text,
                        text);
    }
}

void SmtpClient::quit() {
    std::unique_ptr<Session> s = std::move(s_);
    if (s && !s->broken && s->curl != nullptr) {
        try {
            s->sendLines("QUIT\r\n");
            s->readReply(nullptr);
        } catch (const MailError&) {
            // Everything sent was already accepted; a lost QUIT loses nothing.
        }
    }
}

}  // namespace vorel
