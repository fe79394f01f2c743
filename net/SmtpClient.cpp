#include "net/SmtpClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <functional>
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
    // RFC 5321's longest wait (for the reply to the data) bounds every one.
    s_->waitCeiling = 10 * 60;
}

namespace {

// "452 4.5.3 Too many recipients": this transaction takes no more.
bool tooManyRecipients(int code, const std::string& text) {
    return code == 452 && text.size() > 9 && text.compare(4, 5, "4.5.3") == 0;
}

}  // namespace

SmtpClient::Refusal SmtpClient::readReplies(std::size_t count,
                                            const std::vector<std::string>& sent) {
    Refusal first;
    Refusal split;
    bool accepted = false;  // a RCPT
    std::string text;
    for (std::size_t k = 0; k < count; ++k) {
        const int reply = s_->readReply(&text);
        const SmtpStep step = k == 0 ? SmtpStep::Mail : SmtpStep::Rcpt;
        if (reply < 400) {
            accepted = accepted || step == SmtpStep::Rcpt;
        } else if (step == SmtpStep::Rcpt && k < sent.size() && tooManyRecipients(reply, text)) {
            if (split.code == 0) {
                split = {reply, text, step, {}};
            }
            split.rest.push_back(sent[k]);
        } else if (first.code == 0) {
            first = {reply, text, step, {}};
        }
    }
    if (first.code != 0 || split.code == 0) {
        return first;
    }
    if (!accepted) {
        split.rest.clear();
        return split;
    }
    return {0, {}, SmtpStep::Unknown, std::move(split.rest)};
}

SmtpClient::Refusal SmtpClient::commands(const std::vector<std::string>& lines) {
    bool accepted = false;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        s_->sendLines(lines[k] + "\r\n");
        std::string text;
        const int reply = s_->readReply(&text);
        const bool rcpt = lines[k].rfind("RCPT", 0) == 0;
        if (reply < 400) {
            accepted = accepted || rcpt;
            continue;
        }
        if (rcpt && accepted && tooManyRecipients(reply, text)) {
            return {0, {}, SmtpStep::Unknown, {lines.begin() + static_cast<long>(k), lines.end()}};
        }
        return {reply,
                text,
                lines[k].rfind("MAIL", 0) == 0 ? SmtpStep::Mail
                : rcpt                         ? SmtpStep::Rcpt
                                               : SmtpStep::Data,
                {}};
    }
    return {};
}

MailError SmtpClient::refusal(const Refusal& r, const std::string& what) const {
    return MailError(mailErrorCodeForReply(r.code),
                     s_->address.host + ": " + what + " (" + std::to_string(r.code) + ")", r.text,
                     r.step);
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
    const std::string id = message.messageId.empty()
                               ? mime::makeMessageId(message.messageRef, message.from)
                               : message.messageId;
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
    // What the server is told (RFC 1870): the data as it goes, before dot-stuffing.
    const std::size_t size = t.data.size() + (t.data.empty() || t.data.back() == '\n' ? 0 : 2);
    if (s_->sizeLimit > 0 && size > s_->sizeLimit) {
        // Sent anyway it would be refused, at best after all its bytes; at
        // worst the server stops reading it and the session breaks behind it.
        const std::string why = "The message to " + message.to + " is " + std::to_string(size) +
                                " bytes, over the " + std::to_string(s_->sizeLimit) + " bytes " +
                                s_->address.host + " accepts (SIZE)";
        if (settings_.notice) {
            settings_.notice(why + ": not sent");
        }
        throw MailError(mailcode::kSendRefused, why, {}, SmtpStep::Mail);
    }
    const auto senders =
        mime::mailboxes(message.sender.empty() ? message.from : message.sender, !utf8);
    // 8-bit data is declared where the server takes it (RFC 6152); without
    // 8BITMIME the forward was re-encoded above and a reply is 7-bit.
    const bool eightBit = s_->eightBitMime && std::any_of(t.data.begin(), t.data.end(), [](char c) {
                              return static_cast<unsigned char>(c) > 127;
                          });
    t.envelope = {"MAIL FROM:<" + (senders.empty() ? std::string() : senders[0]) + ">" +
                  (s_->sizeOffered ? " SIZE=" + std::to_string(size) : "") +
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
        sendWhole(std::move(t.envelope), t.data);
    } catch (const MailError&) {
        dropIfBroken();
        throw;
    }
}

std::size_t SmtpClient::window() const {
    return s_ && !s_->broken && s_->pipelining ? kStreamWindow : 1;
}

namespace {

void failAt(std::vector<SendResult>& results, std::size_t k, const MailError& e) {
    results[k].failure = std::make_exception_ptr(e);
}

}  // namespace

// The loop both streams share: a message that cannot go fails alone, one
// with several recipients goes as send() sends it once the stream is
// drained, the others are streamed. A connection that breaks fails the
// first message whose fate it leaves open and ends the batch there.
void SmtpClient::streamBatch(const std::vector<OutgoingMessage>& messages,
                             std::vector<SendResult>& results, const Stream& stream) {
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
                failAt(results, k, e);  // nothing of it went out
                continue;
            }
            if (t.envelope.size() != 2) {
                stream.drain();
                try {
                    sendWhole(std::move(t.envelope), t.data);
                } catch (const MailError& e) {
                    if (s_->broken) {
                        throw;
                    }
                    failAt(results, k, e);
                }
                continue;
            }
            if (!stream.send(k, t)) {
                return;
            }
        }
        stream.drain();
    } catch (const MailError& e) {
        const std::size_t first = stream.firstUnsettled(k);
        failAt(results, first, e);
        s_.reset();
        results.resize(first + 1);
    }
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
    // The first message whose chunk was refused, with no message accepted
    // since: a server may stop reading a chunk it refuses and take its bytes
    // as commands (Exim: "554 SMTP synchronization error"), so the refusals
    // read after it on a connection that then breaks say nothing about the
    // messages they seem to answer: those go again first.
    std::optional<std::size_t> refusedChunk;
    // The replies of the oldest message in flight.
    auto settle = [&] {
        const InFlight f = inFlight.front();
        const Refusal refused = readReplies(f.envelope);
        std::string text;
        const int chunkReply = s_->readReply(&text);
        inFlight.pop_front();
        if (refused.code != 0) {
            failAt(results, f.message, refusal(refused, "refused"));
        } else if (chunkReply >= 400) {
            failAt(results, f.message,
                   MailError(mailErrorCodeForReply(chunkReply),
                             s_->address.host + ": message: " + text, text, SmtpStep::Data));
        }
        if (chunkReply >= 400 && !refusedChunk) {
            refusedChunk = f.message;
        } else if (refused.code == 0 && chunkReply < 400) {
            refusedChunk.reset();  // a message accepted after it: the stream is in step
        }
    };
    Stream stream;
    stream.send = [&](std::size_t k, Transaction& t) {
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
        return true;
    };
    stream.drain = [&] {
        while (!inFlight.empty()) {
            settle();
        }
    };
    // The oldest message without its replies failed with the connection
    // (the run sends it again first); the fate of those after it is unknown.
    stream.firstUnsettled = [&](std::size_t next) {
        std::size_t first = inFlight.empty() ? next : inFlight.front().message;
        if (refusedChunk && *refusedChunk + 1 < first) {
            first = *refusedChunk + 1;
        }
        return first;
    };
    streamBatch(messages, results, stream);
    return results;
}

// The stream without CHUNKING (RFC 2920): a message's data can go only after
// its DATA reply, so each write carries the last message's data and the next
// message's MAIL, RCPT and DATA, and a message costs one round trip instead
// of two. After a refused envelope the server may still hold the MAIL: an
// RSET goes first in the next write.
std::vector<SendResult> SmtpClient::streamData(const std::vector<OutgoingMessage>& messages) {
    std::vector<SendResult> results(messages.size());
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
                failAt(results, *awaiting,
                       MailError(mailErrorCodeForReply(reply),
                                 s_->address.host + ": message: " + text, text, SmtpStep::Data));
            }
            awaiting.reset();
        }
        if (reset) {
            readReplies(1);
            reset = false;
        }
    };
    Stream stream;
    stream.send = [&](std::size_t k, Transaction& t) {
        t.envelope.push_back("DATA");
        flush(t.envelope);
        const Refusal refused = readReplies(2);
        std::string text;
        const int dataReply = s_->readReply(&text);
        if (refused.code == 0 && dataReply == 354) {
            data = dotStuffed(std::move(t.data));
            awaiting = k;
            return true;
        }
        failAt(results, k,
               refused.code != 0
                   ? refusal(refused, "refused")
                   : MailError(mailErrorCodeForReply(dataReply),
                               s_->address.host + ": refused (" + std::to_string(dataReply) + ")",
                               text, SmtpStep::Data));
        if (dataReply == 354) {
            // A server that takes data for no recipient: the transaction
            // cannot be ended cleanly, only dropped with the connection.
            s_->broken = true;
            s_->abandon();
            s_.reset();
            results.resize(k + 1);
            return false;
        }
        reset = true;
        return true;
    };
    stream.drain = [&] {
        if (awaiting || reset) {
            flush({});
        }
    };
    // The oldest message without its final reply failed with the
    // connection; the fate of those after it is unknown.
    stream.firstUnsettled = [&](std::size_t next) { return awaiting ? *awaiting : next; };
    streamBatch(messages, results, stream);
    return results;
}

void SmtpClient::sendWhole(std::vector<std::string> envelope, const std::string& data) {
    while (true) {
        const std::vector<std::string> rest =
            s_->pipelining && s_->chunking ? sendChunked(envelope, data) : sendData(envelope, data);
        if (rest.empty()) {
            return;
        }
        envelope.resize(1);
        envelope.insert(envelope.end(), rest.begin(), rest.end());
    }
}

std::vector<std::string> SmtpClient::sendData(std::vector<std::string> envelope,
                                              const std::string& data) {
    Session& s = *s_;
    std::string text;
    Refusal refused;
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
        envelope.pop_back();
        refused = readReplies(envelope.size(), envelope);
        const int dataReply = s.readReply(&text);
        if (refused.code != 0 && dataReply == 354) {
            s.broken = true;
            s.abandon();
            throw refusal(refused, "recipient refused");
        }
        if (refused.code != 0 || dataReply != 354) {
            commands({"RSET"});
            if (refused.code != 0) {
                throw refusal(refused, "refused");
            }
            throw MailError(mailErrorCodeForReply(dataReply),
                            s.address.host + ": refused (" + std::to_string(dataReply) + ")", text,
                            SmtpStep::Data);
        }
    } else {
        // Any refused address refuses the message: it is queued again whole.
        refused = commands(envelope);
        if (refused.code != 0) {
            commands({"RSET"});
            throw refusal(refused, "envelope refused");
        }
        s.sendLines("DATA\r\n");
        if (const int reply = s.readReply(&text); reply != 354) {
            commands({"RSET"});
            throw MailError(mailErrorCodeForReply(reply), s.address.host + ": DATA: " + text, text,
                            SmtpStep::Data);
        }
    }
    s.sendAll(dotStuffed(data));
    if (const int reply = s.readReply(&text); reply >= 400) {
        throw MailError(mailErrorCodeForReply(reply), s.address.host + ": message: " + text, text,
                        SmtpStep::Data);
    }
    return std::move(refused.rest);
}

// MAIL, RCPT and the message as one BDAT chunk (RFC 3030) in one write, so
// that a message costs one round trip. With one recipient the chunk is the
// LAST: a refused recipient leaves none, and the server refuses the chunk.
// With several, the chunk waits for a "BDAT 0 LAST" sent only when every
// recipient was accepted (else RSET drops it): all or none.
std::vector<std::string> SmtpClient::sendChunked(const std::vector<std::string>& envelope,
                                                 const std::string& data) {
    Session& s = *s_;
    const bool ended = data.empty() || data.back() == '\n';
    const bool single = envelope.size() == 2;
    std::string batch;
    for (const auto& c : envelope) {
        batch += c + "\r\n";
    }
    batch +=
        "BDAT " + std::to_string(data.size() + (ended ? 0 : 2)) + (single ? " LAST\r\n" : "\r\n");
    if (ended) {
        s.sendLines(batch, data);
    } else {
        s.sendLines(batch, data + "\r\n");
    }
    Refusal refused = readReplies(envelope.size(), envelope);
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
            throw refusal(refused, "refused");
        }
        throw MailError(mailErrorCodeForReply(chunkReply), s.address.host + ": message: " + text,
                        text, SmtpStep::Data);
    }
    return std::move(refused.rest);
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
