#include "net/Pop3Client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include "net/PopLogin.h"
#include "net/Session.h"

namespace vorel {
namespace {

constexpr std::size_t kListLimit = 64u << 20;

constexpr std::size_t kMaxWindow = 64;
// Bytes of downloads ahead asked for or arrived and not read: enough to keep
// a long link busy with ordinary messages, and memory flat.
constexpr std::size_t kBodyWindow = 2u << 20;
// Headers kept for a second read.
constexpr std::size_t kHeaderKeep = 1u << 20;

MailError refused(const Session& s, const std::string& what, const std::string& status) {
    return MailError(mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                     s.address.host + ": " + what + ": " + status);
}

}  // namespace

Pop3Client::Pop3Client(const SessionSettings& settings) : settings_(settings) {}

Pop3Client::~Pop3Client() = default;

void Pop3Client::connect(const std::string& host, const std::string& user,
                         const std::string& password) {
    const auto service = ServerAddress::Service::Pop3;
    if (settings_.xoauth2) {
        // SASL XOAUTH2 has no APOP to stumble on: libcurl logs in.
        s_ = Session::open(host, service, user, password, true, settings_);
    }
    // libcurl connects and secures the connection; the login is ours, so
    // that a refused APOP does not end it (see popLogin).
    if (!s_) {
        s_ = Session::open(host, service, "", "", false, settings_);
    }
    PopLoginResult login =
        settings_.xoauth2 ? PopLoginResult::LoggedIn : popLogin(*s_, user, password, false);
    if (login == PopLoginResult::ApopOnNewConnection) {
        s_.reset();
        s_ = Session::open(host, service, "", "", false, settings_);
        login = popLogin(*s_, user, password, true);
    }
    if (login != PopLoginResult::LoggedIn) {
        const std::string server = s_->address.host;
        const std::string said = s_->lastReceived;
        s_.reset();
        throw MailError(mailcode::kBadPassword,
                        server + ": login refused" + (said.empty() ? "" : ": " + said));
    }
    // The count and every size, once.
    std::string list;
    try {
        command("LIST");
        list = s_->readMultiline(kListLimit);
    } catch (const MailError&) {
        s_.reset();  // a session without its listing is no session
        throw;
    }
    std::istringstream lines(list);
    std::string line;
    while (std::getline(lines, line)) {
        long number = 0;
        long size = 0;
        if (std::sscanf(line.c_str(), "%ld %ld", &number, &size) == 2 && number >= 1 &&
            number <= 1000000 && size >= 0) {
            if (static_cast<std::size_t>(number) > sizes_.size()) {
                sizes_.resize(static_cast<std::size_t>(number), 0);
            }
            sizes_[static_cast<std::size_t>(number - 1)] = size;
        }
    }
}

Session& Pop3Client::session() const {
    if (!s_) {
        throw MailError(mailcode::kNotConnected, "no POP3 session");
    }
    if (s_->broken) {
        lossTold_ = true;
        throw MailError(mailcode::kNotConnected, s_->address.host + ": the POP3 session was lost");
    }
    return *s_;
}

bool Pop3Client::lostUntold() const {
    return s_ && s_->broken && !lossTold_;
}

void Pop3Client::check() const {
    session();
}

void Pop3Client::checkRead() const {
    if (!lostUntold()) {  // else the read says whether what it needs arrived
        session();
    }
}

bool Pop3Client::broken() const {
    return !s_ || s_->broken || s_->curl == nullptr;
}

std::string Pop3Client::command(const std::string& line, bool readAhead) {
    Session& s = session();
    pending_.push_back({0, ReplyTo::Command});
    s.sendLines(line + "\r\n" + (readAhead ? readAheadCommands() : std::string()));
    while (readReply() != ReplyTo::Command) {
    }
    if (!commandReply_.ok) {
        throw refused(s, line.substr(0, line.find(' ')), commandReply_.status);
    }
    return commandReply_.status;
}

Pop3Client::ReplyTo Pop3Client::readReply() {
    Session& s = session();
    if (!s.outbox.empty()) {
        s.sendLines("");  // a reply is awaited: what it answers must be sent
    }
    const Expected e = pending_.front();
    pending_.pop_front();
    switch (e.kind) {
        case ReplyTo::Command:
            commandReply_ = Reply();
            commandReply_.ok = s.readStatus(commandReply_.status);
            break;
        case ReplyTo::Dele: {
            std::string status;
            if (!s.readStatus(status)) {
                // Still on the server: neither counted as deleted nor forgotten.
                deleted_.erase(e.message);
                if (!deleteFailure_) {
                    deleteFailure_.emplace(refused(s, "DELE " + std::to_string(e.message), status));
                }
            }
            break;
        }
        case ReplyTo::Retr: {
            const auto size =
                static_cast<std::size_t>(sizes_[static_cast<std::size_t>(e.message - 1)]);
            Body body;
            body.ok = s.readStatus(body.status);
            if (body.ok) {
                body.raw = s.readMultiline(size * 2 + (1u << 20), size);
                body.cutShort = body.raw.size() < size;
            }
            if (e.message < passed_) {
                bytesAhead_ -= std::min(size, bytesAhead_);  // the caller went on without it
            } else {
                bodies_[e.message] = std::move(body);
            }
            break;
        }
        case ReplyTo::Top: {
            Reply reply;
            reply.ok = s.readStatus(reply.status);
            if (reply.ok) {
                reply.text = s.readMultiline(
                    static_cast<std::size_t>(sizes_[static_cast<std::size_t>(e.message - 1)]) +
                    (1u << 20));
            }
            prefetched_[e.message] = std::move(reply);
            break;
        }
    }
    return e.kind;
}

void Pop3Client::raiseDeleteFailure() {
    if (deleteFailure_) {
        const MailError e = *deleteFailure_;
        deleteFailure_.reset();
        throw e;
    }
}

// TOP commands that keep the scan's window of headers asked for, their
// replies expected after everything asked before. Topped up in batches once
// the window is large, so that a long scan is not one write per message.
std::string Pop3Client::readAheadCommands() {
    if (!s_ || !s_->pipelining || !scanAhead_) {
        return {};
    }
    std::size_t ahead = prefetched_.size();
    for (const Expected& e : pending_) {
        ahead += e.kind == ReplyTo::Top ? 1 : 0;
    }
    if (ahead >= window_ || (window_ >= 16 && window_ - ahead < 8)) {
        return {};
    }
    std::string commands;
    const long last = static_cast<long>(sizes_.size());
    for (; nextToAsk_ <= last && ahead < window_; ++nextToAsk_) {
        if (deleted_.count(nextToAsk_) == 0) {
            commands += "TOP " + std::to_string(nextToAsk_) + " 0\r\n";
            pending_.push_back({nextToAsk_, ReplyTo::Top});
            ++ahead;
        }
    }
    return commands;
}

std::vector<std::string> Pop3Client::uniqueIds() {
    session();
    std::vector<std::string> ids(sizes_.size());
    try {
        command("UIDL");
    } catch (const MailError&) {
        if (s_ && !s_->broken) {
            return {};  // refused: a server without unique ids
        }
        throw;
    }
    std::istringstream lines(s_->readMultiline(kListLimit));
    std::string line;
    while (std::getline(lines, line)) {
        long number = 0;
        char id[72] = {};
        if (std::sscanf(line.c_str(), "%ld %70s", &number, id) == 2 && number >= 1 &&
            static_cast<std::size_t>(number) <= ids.size()) {
            ids[static_cast<std::size_t>(number - 1)] = id;
        }
    }
    // A listing with holes names no message for sure.
    const bool complete =
        std::none_of(ids.begin(), ids.end(), [](const std::string& id) { return id.empty(); });
    return complete ? ids : std::vector<std::string>{};
}

std::string Pop3Client::header(long i) {
    if (const auto kept = headersRead_.find(i);
        kept != headersRead_.end() && s_ && (!s_->broken || lostUntold())) {
        // The second read of a header read ahead: the caller handles i now.
        const Reply reply = kept->second;
        passTo(i);
        if (!reply.ok) {
            throw refused(*s_, "TOP", reply.status);
        }
        return reply.text;
    }
    if (lostUntold()) {
        throw MailError(mailcode::kNotConnected, s_->address.host + ": the POP3 session was lost");
    }
    Session& s = session();
    const bool due = prefetched_.count(i) != 0 ||
                     std::any_of(pending_.begin(), pending_.end(), [i](const Expected& e) {
                         return e.kind == ReplyTo::Top && e.message == i;
                     });
    if (!due) {
        while (!pending_.empty()) {
            readReply();
        }
        prefetched_.clear();
        // Ask for this header and, on a pipelining server, the next ones: a
        // scan goes on to them, and a TOP changes nothing on the server. The
        // window grows while the reading goes on in order.
        // Going back is no scan: nothing more is read ahead until one starts.
        scanAhead_ = nextToAsk_ == 0 || i == nextToAsk_;
        if (i != nextToAsk_) {
            window_ = 1;
        }
        const std::size_t window = s.pipelining ? window_ : 1;
        std::string commands;
        for (long j = i; j <= static_cast<long>(sizes_.size()) && pending_.size() < window; ++j) {
            if (deleted_.count(j) == 0) {
                commands += "TOP " + std::to_string(j) + " 0\r\n";
                pending_.push_back({j, ReplyTo::Top});
            }
            nextToAsk_ = j + 1;
        }
        s.sendLines(commands);
    }
    while (prefetched_.count(i) == 0) {
        readReply();
    }
    // Replies read ahead for messages before this one will not be asked for.
    prefetched_.erase(prefetched_.begin(), prefetched_.find(i));
    Reply reply = std::move(prefetched_[i]);
    prefetched_.erase(i);
    // The scan goes on: keep its window of headers asked for.
    if (s.pipelining && scanAhead_) {
        window_ = std::min(window_ * 2, kMaxWindow);
        if (const std::string more = readAheadCommands(); !more.empty()) {
            s.sendLines(more);
        }
    }
    if (s.pipelining) {
        keepHeader(i, reply);
    }
    if (!reply.ok) {
        throw refused(s, "TOP", reply.status);
    }
    return std::move(reply.text);
}

void Pop3Client::keepHeader(long i, const Reply& reply) {
    headerBytes_ += reply.text.size();
    headersRead_[i] = reply;
    // The oldest go first: at worst a header is asked for again.
    while (headersRead_.size() > 1 &&
           (headerBytes_ > kHeaderKeep || headersRead_.size() > 2 * kMaxWindow)) {
        headerBytes_ -= std::min(headersRead_.begin()->second.text.size(), headerBytes_);
        headersRead_.erase(headersRead_.begin());
    }
}

void Pop3Client::passTo(long i) {
    passed_ = i;
    for (auto it = headersRead_.begin(); it != headersRead_.end() && it->first <= i;) {
        headerBytes_ -= std::min(it->second.text.size(), headerBytes_);
        it = headersRead_.erase(it);
    }
    for (auto it = bodies_.begin(); it != bodies_.end() && it->first < i;) {
        bytesAhead_ -= std::min(
            static_cast<std::size_t>(sizes_[static_cast<std::size_t>(it->first - 1)]), bytesAhead_);
        it = bodies_.erase(it);
    }
    hinted_.erase(std::remove_if(hinted_.begin(), hinted_.end(), [i](long n) { return n < i; }),
                  hinted_.end());
}

int Pop3Client::headersAhead() const {
    return s_ && !s_->broken && s_->pipelining ? static_cast<int>(kMaxWindow) : 0;
}

bool Pop3Client::retrPending(long i) const {
    return std::any_of(pending_.begin(), pending_.end(), [i](const Expected& e) {
        return e.kind == ReplyTo::Retr && e.message == i;
    });
}

void Pop3Client::willFetch(long i) {
    if (headersAhead() == 0 || i < 1 || static_cast<std::size_t>(i) > sizes_.size() ||
        i < passed_ || deleted_.count(i) != 0 || bodies_.count(i) != 0 || retrPending(i) ||
        std::find(hinted_.begin(), hinted_.end(), i) != hinted_.end()) {
        return;
    }
    hinted_.push_back(i);
    try {
        askHinted();
    } catch (const MailError&) {
        // The connection is lost; the calls that need it say so.
    }
}

// One RETR at least, however large; sent at once (with any DELE held back),
// so that the download starts while the caller handles other messages.
void Pop3Client::askHinted() {
    Session& s = session();
    while (!hinted_.empty()) {
        const long i = hinted_.front();
        const auto size = static_cast<std::size_t>(sizes_[static_cast<std::size_t>(i - 1)]);
        if (bytesAhead_ > 0 && bytesAhead_ + size > kBodyWindow) {
            break;
        }
        hinted_.pop_front();
        if (deleted_.count(i) == 0) {
            s.outbox += "RETR " + std::to_string(i) + "\r\n";
            pending_.push_back({i, ReplyTo::Retr});
            bytesAhead_ += size;
        }
    }
    if (!s.outbox.empty()) {
        s.sendLines("");
    }
}

std::string Pop3Client::message(long i) {
    const auto size = static_cast<std::size_t>(sizes_[static_cast<std::size_t>(i - 1)]);
    try {
        // A download ahead that arrived whole is the message, even after the
        // connection was lost, until the loss was told.
        auto ahead = bodies_.find(i);
        if (ahead != bodies_.end() && s_->broken && !lostUntold()) {
            ahead = bodies_.end();
        }
        if (ahead == bodies_.end()) {
            session();
            while (retrPending(i) && bodies_.count(i) == 0) {
                readReply();
            }
            ahead = bodies_.find(i);
        }
        std::string raw;
        bool cutShort = false;
        if (ahead != bodies_.end()) {
            Body body = std::move(ahead->second);
            bodies_.erase(ahead);
            bytesAhead_ -= std::min(size, bytesAhead_);
            if (headersAhead() > 0) {
                try {
                    askHinted();  // room for the next
                } catch (const MailError&) {
                    // The next call that needs the connection says so.
                }
            }
            if (!body.ok) {
                throw refused(*s_, "RETR", body.status);
            }
            raw = std::move(body.raw);
            cutShort = body.cutShort;
        } else {
            hinted_.erase(std::remove(hinted_.begin(), hinted_.end(), i), hinted_.end());
            command("RETR " + std::to_string(i), true);
            raw = s_->readMultiline(size * 2 + (1u << 20), size);
            cutShort = raw.size() < size;
        }
        if (cutShort) {
            s_->lost("message " + std::to_string(i) + " cut short: " + std::to_string(raw.size()) +
                     " of " + std::to_string(size) + " bytes");
        }
        return raw;
    } catch (const MailError&) {
        if (s_ && s_->broken) {
            lossTold_ = true;
        }
        throw;
    }
}

void Pop3Client::markDeleted(long i) {
    if (lostUntold()) {
        // Lost with the connection, as a DELE sent and not answered would
        // be; the run's ledger keeps the message from being answered twice.
        deleted_.insert(i);
        return;
    }
    Session& s = session();
    if (!s.pipelining) {
        command("DELE " + std::to_string(i));
        deleted_.insert(i);
        return;
    }
    // Sent with the next command, its answer read before that command's.
    s.outbox += "DELE " + std::to_string(i) + "\r\n";
    pending_.push_back({i, ReplyTo::Dele});
    deleted_.insert(i);
}

void Pop3Client::finish() {
    // The QUIT commits the deletions; its answer says whether it did. A
    // refused DELE is reported after it, the others being committed.
    command("QUIT");
    raiseDeleteFailure();
}

}  // namespace vorel
