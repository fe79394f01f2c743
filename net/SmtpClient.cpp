#include "net/SmtpClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <optional>
#include <utility>

#include "base/FileIo.h"
#include "base/Idn.h"
#include "base/TextCompare.h"
#include "net/Mime.h"
#include "net/Session.h"

namespace vorel {
namespace {

// Messages a stream keeps awaiting their replies: about a connection's worth
// (the run renews it every 31), a few hundred kilobytes of text replies.
constexpr std::size_t kStreamWindow = 32;

// A message file held once: room for the longer header block that
// readdress puts in place of the old one.
std::string readMessageFile(const std::string& path) {
    std::optional<std::string> text = readWholeFile(path, 64u << 10);
    if (!text) {
        throw MailError(mailcode::kFile, "cannot read message file " + path);
    }
    return std::move(*text);
}

// DATA: lines starting with "." get another, the end is ".". A text with no
// such line is ended where it lies, not copied (it may be megabytes).
std::string dotStuffed(std::string data) {
    bool lineStart = true;
    bool stuffing = false;
    for (const char c : data) {
        stuffing = stuffing || (lineStart && c == '.');
        lineStart = c == '\n';
    }
    if (!stuffing) {
        data += lineStart ? ".\r\n" : "\r\n.\r\n";
        return data;
    }
    std::string out;
    out.reserve(data.size() + data.size() / 64 + 8);
    lineStart = true;
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

SmtpClient::Transaction SmtpClient::prepare(const OutgoingMessage& message) {
    const bool utf8 = needsSmtpUtf8(message);
    const std::string id = mime::makeMessageId(message.messageRef, message.from);
    Transaction t;
    t.data = message.sourceFile.empty()
                 ? mime::composeText(message, id)
                 : mime::readdress(
                       mime::encodeForSmtp(readMessageFile(message.sourceFile), s_->eightBitMime),
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
    const bool eightBit = s_->eightBitMime && std::any_of(t.data.begin(), t.data.end(), [](char c) {
                              return static_cast<unsigned char>(c) > 127;
                          });
    t.envelope = {"MAIL FROM:<" + (senders.empty() ? std::string() : senders[0]) + ">" +
                  (eightBit ? " BODY=8BITMIME" : "") + (utf8 ? " SMTPUTF8" : "")};
    for (const auto& a : rcpt) {
        t.envelope.push_back("RCPT TO:<" + a + ">");
    }
    return t;
}

void SmtpClient::dropIfBroken() {
    if (s_ && s_->broken) {
        s_.reset();
    }
}

void SmtpClient::send(const OutgoingMessage& message) {
    if (!s_ || s_->broken) {
        throw MailError(mailcode::kNotConnected, "no SMTP session");
    }
    Transaction t = prepare(message);
    try {
        if (s_->pipelining && s_->chunking) {
            sendChunked(t.envelope, std::move(t.data));
        } else {
            sendData(std::move(t.envelope), std::move(t.data));
        }
    } catch (const MailError&) {
        dropIfBroken();
        throw;
    }
}

std::size_t SmtpClient::window() const {
    return s_ && !s_->broken && s_->pipelining ? kStreamWindow : 1;
}

// The stream (RFC 2920 with RFC 3030): a message with one recipient goes as
// MAIL, RCPT and a BDAT LAST chunk in one write, and the next follows at once.
// BDAT LAST ends the transaction whatever its reply, so a refusal needs no
// RSET, which would land behind the next messages' commands. A message with
// several recipients needs their replies before its last chunk (all or
// none): the stream is drained and it goes as send() sends it.
std::vector<SendResult> SmtpClient::sendBatch(const std::vector<OutgoingMessage>& messages) {
    if (s_ && !s_->chunking) {
        return streamData(messages);
    }
    std::vector<SendResult> results(messages.size());
    struct InFlight {
        std::size_t message;
        std::size_t envelope;  // replies before the chunk's
    };
    std::deque<InFlight> inFlight;
    auto fail = [&results](std::size_t k, const MailError& e) {
        results[k].failure = std::make_exception_ptr(e);
    };
    // The replies of the oldest message in flight.
    auto settle = [&] {
        const InFlight f = inFlight.front();
        const Refusal refused = readReplies(f.envelope);
        std::string text;
        const int chunkReply = s_->readReply(&text);
        inFlight.pop_front();
        if (refused.code != 0) {
            fail(f.message,
                 MailError(mailErrorCodeForReply(refused.code),
                           s_->address.host + ": refused (" + std::to_string(refused.code) + ")",
                           refused.text));
        } else if (chunkReply >= 400) {
            fail(f.message, MailError(mailErrorCodeForReply(chunkReply),
                                      s_->address.host + ": message: " + text, text));
        }
    };
    std::size_t k = 0;
    try {
        for (; k < messages.size(); ++k) {
            if (!s_ || s_->broken) {
                throw MailError(mailcode::kNotConnected, "no SMTP session");
            }
            Transaction t;
            try {
                t = prepare(messages[k]);
            } catch (const MailError& e) {
                fail(k, e);  // nothing of it went out
                continue;
            }
            if (t.envelope.size() != 2) {
                while (!inFlight.empty()) {
                    settle();
                }
                try {
                    sendChunked(t.envelope, std::move(t.data));
                } catch (const MailError& e) {
                    if (s_->broken) {
                        throw;
                    }
                    fail(k, e);
                }
                continue;
            }
            while (inFlight.size() >= kStreamWindow) {
                settle();
            }
            if (!t.data.empty() && t.data.back() != '\n') {
                t.data += "\r\n";
            }
            // One write for the commands and the chunk; only the commands
            // go to the transcript.
            s_->sendLines(t.envelope[0] + "\r\n" + t.envelope[1] + "\r\nBDAT " +
                              std::to_string(t.data.size()) + " LAST\r\n",
                          t.data);
            t.data = std::string();
            inFlight.push_back({k, t.envelope.size()});
        }
        while (!inFlight.empty()) {
            settle();
        }
    } catch (const MailError& e) {
        // The connection is gone: the oldest message without its replies
        // failed; the fate of those after it is unknown.
        const std::size_t first = inFlight.empty() ? k : inFlight.front().message;
        fail(first, e);
        s_.reset();
        results.resize(first + 1);
    }
    return results;
}

// The stream without CHUNKING (RFC 2920): a message's data can go only after
// its DATA reply, so each write carries the last message's data and the next
// message's MAIL, RCPT and DATA, and a message costs one round trip instead
// of two. After a refused envelope the server may still hold the MAIL: an
// RSET goes first in the next write.
std::vector<SendResult> SmtpClient::streamData(const std::vector<OutgoingMessage>& messages) {
    std::vector<SendResult> results(messages.size());
    auto fail = [&results](std::size_t k, const MailError& e) {
        results[k].failure = std::make_exception_ptr(e);
    };
    std::optional<std::size_t> awaiting;  // its data went out, its final reply not read
    std::string data;                     // the accepted message's, for the next write
    bool reset = false;
    // Writes what is held back before `commands`, then reads the replies to it.
    auto flush = [&](const std::vector<std::string>& commands) {
        std::string out = std::move(data);
        data.clear();
        std::vector<std::string> lines = commands;
        if (reset) {
            lines.insert(lines.begin(), "RSET");
        }
        for (const std::string& line : lines) {
            out += line + "\r\n";
            s_->emit(line + "\r\n", TranscriptDirection::Sent);
        }
        s_->sendAll(out);
        if (awaiting) {
            std::string text;
            if (const int reply = s_->readReply(&text); reply >= 400) {
                fail(*awaiting, MailError(mailErrorCodeForReply(reply),
                                          s_->address.host + ": message: " + text, text));
            }
            awaiting.reset();
        }
        if (reset) {
            readReplies(1);
            reset = false;
        }
    };
    std::size_t k = 0;
    try {
        for (; k < messages.size(); ++k) {
            if (!s_ || s_->broken) {
                throw MailError(mailcode::kNotConnected, "no SMTP session");
            }
            Transaction t;
            try {
                t = prepare(messages[k]);
            } catch (const MailError& e) {
                fail(k, e);  // nothing of it went out
                continue;
            }
            if (t.envelope.size() != 2) {
                if (awaiting || reset) {
                    flush({});
                }
                try {
                    sendData(std::move(t.envelope), std::move(t.data));
                } catch (const MailError& e) {
                    if (s_->broken) {
                        throw;
                    }
                    fail(k, e);
                }
                continue;
            }
            t.envelope.push_back("DATA");
            flush(t.envelope);
            const Refusal refused = readReplies(2);
            std::string text;
            const int dataReply = s_->readReply(&text);
            if (refused.code == 0 && dataReply == 354) {
                data = dotStuffed(std::move(t.data));
                awaiting = k;
                continue;
            }
            const int code = refused.code != 0 ? refused.code : dataReply;
            fail(k, MailError(mailErrorCodeForReply(code),
                              s_->address.host + ": refused (" + std::to_string(code) + ")",
                              refused.code != 0 ? refused.text : text));
            if (dataReply == 354) {
                // A server that takes data for no recipient: the transaction
                // cannot be ended cleanly, only dropped with the connection.
                s_->broken = true;
                s_->abandon();
                s_.reset();
                results.resize(k + 1);
                return results;
            }
            reset = true;
        }
        if (awaiting || reset) {
            flush({});
        }
    } catch (const MailError& e) {
        // The connection is gone: the oldest message without its final reply
        // failed; the fate of those after it is unknown.
        const std::size_t first = awaiting ? *awaiting : k;
        fail(first, e);
        s_.reset();
        results.resize(first + 1);
    }
    return results;
}

void SmtpClient::sendData(std::vector<std::string> envelope, std::string data) {
    Session& s = *s_;
    data = dotStuffed(std::move(data));
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
    s.sendLines(batch, data);
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
