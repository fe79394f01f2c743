#include "net/CurlMailComponent.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string_view>
#include <utility>

#include "base/Idn.h"
#include "base/TextCompare.h"
#include "base/WriteAll.h"
#include "net/ImapMailbox.h"
#include "net/PopLogin.h"
#include "net/ServerAddress.h"
#include "net/Session.h"

namespace vorel {

int mailErrorCodeFor(int curlCode, long responseCode, MailPhase phase) {
    const bool connecting = phase == MailPhase::PopConnect || phase == MailPhase::SmtpConnect;
    const bool smtp = phase == MailPhase::SmtpConnect || phase == MailPhase::SmtpSend;
    // Inside a POP3 session any failure to reach the server means the
    // connection we had is gone (libcurl was trying to open another).
    if (phase == MailPhase::PopCommand &&
        (curlCode == CURLE_COULDNT_CONNECT || curlCode == CURLE_COULDNT_RESOLVE_HOST)) {
        return mailcode::kNotConnected;
    }
    switch (curlCode) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return mailcode::kHostNotFound;
        // Refused and unreachable alike: nothing answers at that address.
        case CURLE_COULDNT_CONNECT:
            return mailcode::kUnreachable;
        // SASL does not tell a wrong user from a wrong password.
        case CURLE_LOGIN_DENIED:
            return mailcode::kBadPassword;
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_WEIRD_SERVER_REPLY:
            // An SMTP server that answered a command with 5xx refused the mail.
            if (smtp && responseCode >= 500 && responseCode < 600) {
                return mailcode::kSendRefused;
            }
            if (curlCode == CURLE_WEIRD_SERVER_REPLY && !connecting) {
                break;  // an -ERR reply inside a session: a code of its own
            }
            // Connected, but no usable greeting or login: the host is not
            // the POP3 server it was said to be (or is not serving).
            if (phase == MailPhase::PopConnect) {
                return mailcode::kConnectFailed;
            }
            if (phase == MailPhase::SmtpConnect) {
                return mailcode::kUnreachable;
            }
            return mailcode::kNotConnected;
        default:
            break;
    }
    return mailcode::kCurlBase + curlCode;
}

int mailErrorCodeForReply(int reply) {
    if (reply >= 500 && reply < 600) {
        return mailcode::kSendRefused;
    }
    // "Service not available, closing transmission channel".
    if (reply == 421) {
        return mailcode::kNotConnected;
    }
    return mailcode::kReplyBase + reply;
}

namespace {

using Session = CurlMailComponent::Session;

std::string upperPrefix(std::string_view line, std::size_t n) {
    std::string out(line.substr(0, n));
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// The greeting and the CAPA list, for the POP3 login that follows.
void noteReply(Session& s, const std::string& line) {
    if (s.greeting.empty()) {
        s.greeting = line;
    } else if (s.inCapa) {
        if (line == "." || line.rfind("-ERR", 0) == 0) {
            s.inCapa = false;
        } else if (line.rfind("+OK", 0) != 0) {
            s.capabilities.push_back(lowerCase(line));
        }
    }
}

// libcurl's side of the dialogue while it connects, negotiates TLS and logs
// in. Each HEADER_OUT/HEADER_IN call is normally one line; split anyway.

// An EHLO reply line naming the extension: "250-NAME" or "250 NAME".
bool ehloOffers(const std::string& upper, std::string_view name) {
    return (upper.rfind("250-", 0) == 0 || upper.rfind("250 ", 0) == 0) &&
           upper.compare(4, name.size(), name) == 0;
}

int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    if (type != CURLINFO_HEADER_OUT && type != CURLINFO_HEADER_IN) {
        return 0;
    }
    auto* s = static_cast<Session*>(userp);
    if (!s->connecting) {
        return 0;  // our own commands are reported where they are written
    }
    const std::string_view text(data, size);
    const auto direction =
        type == CURLINFO_HEADER_OUT ? TranscriptDirection::Sent : TranscriptDirection::Received;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        const std::string_view line = text.substr(pos, end - pos);
        pos = end;
        const std::string upper = upperPrefix(line, 16);
        if (direction == TranscriptDirection::Sent) {
            if (upper.rfind("STLS", 0) == 0 || upper.rfind("STARTTLS", 0) == 0) {
                s->startTlsSent = true;
            }
            if (upper.rfind("CAPA", 0) == 0) {
                s->capabilities.clear();
                s->inCapa = true;
            }
        } else {
            if (upper.rfind("PIPELINING", 0) == 0 || ehloOffers(upper, "PIPELINING")) {
                // CAPA (POP3) or EHLO (SMTP); a capability seen before a TLS
                // upgrade is asked again after it, so the last word stands.
                s->pipelining = true;
            }
            s->smtputf8 = s->smtputf8 || ehloOffers(upper, "SMTPUTF8");
            s->eightBitMime = s->eightBitMime || ehloOffers(upper, "8BITMIME");
            s->chunking = s->chunking || ehloOffers(upper, "CHUNKING");
            noteReply(*s, trimSpace(std::string(line)));
        }
        s->emit(line, direction);
    }
    return 0;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string ehloName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        std::string h(name);
        if (std::all_of(h.begin(), h.end(),
                        [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; })) {
            return h;
        }
    }
    return "localhost";
}

bool tlsFailure(int code) {
    return code == CURLE_USE_SSL_FAILED || code == CURLE_PEER_FAILED_VERIFICATION ||
           code == CURLE_SSL_CONNECT_ERROR || code == CURLE_SSL_CACERT_BADFILE ||
           code == CURLE_SSL_CERTPROBLEM;
}

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

// Replaces the file's content. Written over the old bytes and then cut to
// length rather than truncated first: ext4 flushes a file that was truncated
// to nothing when it is closed, which made every rewrite of the work file a
// disk write.
// The content may come in parts, written one after the other.
void writeWholeFile(const std::string& path, std::initializer_list<std::string_view> content) {
    // Other people's mail: the owner's alone, whatever the umask.
    const int fd = openNoFollow(path, O_WRONLY | O_CREAT, 0600);
    if (fd < 0) {
        throw MailError(mailcode::kFile, "cannot write " + path + ": " + fileErrorText(errno));
    }
    int err = 0;
    std::size_t size = 0;
    for (const std::string_view part : content) {
        if (err == 0) {
            err = writeAll(fd, part);
        }
        size += part.size();
    }
    if (err == 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        throw MailError(mailcode::kFile, "cannot write " + path + ": " + std::strerror(err));
    }
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

constexpr std::size_t kListLimit = 64u << 20;

constexpr std::size_t kMaxWindow = 64;

}  // namespace

CurlMailComponent::CurlMailComponent() {
    mime::ensureInit();
}

CurlMailComponent::~CurlMailComponent() {
    try {
        disconnect();
    } catch (...) {
        // Nothing to tell anyone any more.
    }
}

void CurlMailComponent::setTranscriptHandler(TranscriptHandler handler) {
    transcript_ = std::move(handler);
}

void CurlMailComponent::setTranscriptOn(bool on) {
    transcriptOn_ = on;
}

void CurlMailComponent::setNoticeHandler(NoticeHandler handler) {
    notice_ = std::move(handler);
}

void CurlMailComponent::setWaitHandler(WaitHandler handler) {
    wait_ = std::move(handler);
}

void CurlMailComponent::setTimeout(int seconds) {
    // No time-out at all would let a silent server hang the run for good.
    timeout_ = seconds > 0 ? seconds : 60;
}

void CurlMailComponent::applyOptions(Session& s) {
    const long t = timeout_;
    curl_easy_setopt(s.curl, CURLOPT_CONNECTTIMEOUT, t);
    curl_easy_setopt(s.curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, t);
}

// libcurl connects, upgrades with STARTTLS (or starts TLS), greets and logs
// in; the connection is then ours.
std::unique_ptr<Session> CurlMailComponent::open(const std::string& host, bool pop,
                                                 const std::string& user,
                                                 const std::string& password, bool authenticate) {
    auto s = std::make_unique<Session>();
    const auto service = pop ? ServerAddress::Service::Pop3 : ServerAddress::Service::Smtp;
    try {
        s->address = parseServerAddress(host, service);
    } catch (const std::invalid_argument& e) {
        throw MailError(mailcode::kBadServerAddress, e.what());
    }
    s->transcript = &transcript_;
    s->transcriptOn = &transcriptOn_;
    s->timeout = &timeout_;
    s->wait = &wait_;
    // Here rather than in the constructor: libcurl's start loads OpenSSL's
    // tables, which a run that ends before it connects never needs.
    globalInit();
    s->curl = curl_easy_init();
    if (s->curl == nullptr) {
        throw MailError(mailcode::kCurlBase + CURLE_FAILED_INIT, "libcurl failed to start");
    }
    CURL* c = s->curl;
    std::string url = s->address.url() + "/";
    if (!pop) {
        url += ehloName();
    }
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, s->error);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, s.get());
    // Always verbose while connecting: the capabilities and the STARTTLS
    // line are read from the dialogue.
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    applyOptions(*s);
    if (authenticate) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
        if (xoauth2_) {
            // XOAUTH2 only: libcurl picks OAUTHBEARER first where both are
            // offered, which Microsoft refuses.
            curl_easy_setopt(c, CURLOPT_XOAUTH2_BEARER, password.c_str());
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=XOAUTH2");
        } else {
            curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
        }
    }
    switch (s->address.security) {
        case ServerAddress::Security::Implicit:
            break;
        case ServerAddress::Security::Required:
            curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
            break;
        case ServerAddress::Security::Opportunistic:
            curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
            break;
    }
    if (const char* ca = std::getenv("VOREL_CA_FILE"); ca != nullptr && *ca != '\0') {
        // CAINFO replaces the default bundle; the hashed folder keeps the
        // system's authorities in the check as well.
        curl_easy_setopt(c, CURLOPT_CAINFO, ca);
        curl_easy_setopt(c, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    const CURLcode rc = s->connectAndLogIn();
    s->connecting = false;
    if (rc != CURLE_OK) {
        long response = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response);
        const int code =
            mailErrorCodeFor(rc, response, pop ? MailPhase::PopConnect : MailPhase::SmtpConnect);
        std::string detail = s->address.host + ": " + curl_easy_strerror(rc);
        if (s->error[0] != '\0') {
            detail += std::string(" (") + s->error + ")";
        }
        if (code == mailcode::kBadPassword && !s->lastReceived.empty()) {
            detail += ": " + s->lastReceived;  // the server's own words on the refusal
        }
        if (tlsFailure(rc) && notice_) {
            // The table has no text for these; the run log should still say why.
            notice_("Secure connection to " + s->address.host + " failed: " + detail);
        }
        throw MailError(code, detail);
    }
    curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
    if (curl_easy_getinfo(c, CURLINFO_ACTIVESOCKET, &s->fd) != CURLE_OK ||
        s->fd == CURL_SOCKET_BAD) {
        throw MailError(mailcode::kNotConnected, s->address.host + ": no connection after login");
    }
    const bool encrypted =
        s->address.security == ServerAddress::Security::Implicit || s->startTlsSent;
    if (!encrypted && !s->address.loopback() && notice_) {
        notice_("The connection to " + s->address.host + " is not encrypted");
    }
    return s;
}

// POP3 ------------------------------------------------------------------

void CurlMailComponent::popConnect(const std::string& host, const std::string& user,
                                   const std::string& password) {
    closePop(true);
    if (isImapAddress(host)) {
        // libcurl logs in: IMAP has no APOP to trip over.
        imap_ = std::make_unique<ImapMailbox>(open(host, true, user, password, true));
        try {
            imap_->start();
        } catch (const MailError&) {
            closePop(false);
            throw;
        }
        sizes_ = imap_->sizes();
        return;
    }
    if (xoauth2_) {
        // SASL XOAUTH2 has no APOP to stumble on: libcurl logs in.
        pop_ = open(host, true, user, password, true);
    }
    // libcurl connects and secures the connection; the login is ours, so
    // that a refused APOP does not end it (see popLogin).
    if (!pop_) {
        pop_ = open(host, true, "", "", false);
    }
    PopLoginResult login =
        xoauth2_ ? PopLoginResult::LoggedIn : popLogin(*pop_, user, password, false);
    if (login == PopLoginResult::ApopOnNewConnection) {
        closePop(false);
        pop_ = open(host, true, "", "", false);
        login = popLogin(*pop_, user, password, true);
    }
    if (login != PopLoginResult::LoggedIn) {
        const std::string server = pop_->address.host;
        const std::string said = pop_->lastReceived;
        closePop(false);
        throw MailError(mailcode::kBadPassword,
                        server + ": login refused" + (said.empty() ? "" : ": " + said));
    }
    // The count and every size, once.
    std::string list;
    try {
        popCommand("LIST");
        list = pop_->readMultiline(kListLimit);
    } catch (const MailError&) {
        closePop(false);  // a session without its listing is no session
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

void CurlMailComponent::requireImap() const {
    if (imap_->broken()) {
        throw MailError(mailcode::kNotConnected, imap_->host() + ": the IMAP session was lost");
    }
}

CurlMailComponent::Session& CurlMailComponent::popSession() {
    if (!pop_) {
        throw MailError(mailcode::kNotConnected, "no POP3 session");
    }
    if (pop_->broken) {
        throw MailError(mailcode::kNotConnected,
                        pop_->address.host + ": the POP3 session was lost");
    }
    return *pop_;
}

// Sends one command and reads its status line, after every reply still due
// (pending replies exist only on a pipelining server).
std::string CurlMailComponent::popCommand(const std::string& command, bool readAhead) {
    Session& s = popSession();
    pending_.push_back({0, ReplyTo::Command});
    s.sendLines(command + "\r\n" + (readAhead ? readAheadCommands() : std::string()));
    while (pending_.front().kind != ReplyTo::Command) {
        readHeaderReply();
    }
    pending_.pop_front();
    std::string status;
    if (!s.readStatus(status)) {
        // A refused command; the session goes on.
        throw MailError(
            mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
            s.address.host + ": " + command.substr(0, command.find(' ')) + ": " + status);
    }
    return status;
}

void CurlMailComponent::raiseDeleteFailure() {
    if (deleteFailure_) {
        const MailError e = *deleteFailure_;
        deleteFailure_.reset();
        throw e;
    }
}

void CurlMailComponent::readHeaderReply() {
    Session& s = popSession();
    if (!s.outbox.empty()) {
        s.sendLines("");  // a reply is awaited: what it answers must be sent
    }
    const long i = pending_.front().message;
    if (pending_.front().kind == ReplyTo::Dele) {
        std::string status;
        if (!s.readStatus(status)) {
            // Still on the server: neither counted as deleted nor forgotten.
            deleted_.erase(i);
            if (!deleteFailure_) {
                deleteFailure_.emplace(
                    mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                    s.address.host + ": DELE " + std::to_string(i) + ": " + status);
            }
        }
        pending_.pop_front();
        return;
    }
    HeaderReply reply;
    reply.ok = s.readStatus(reply.status);
    if (reply.ok) {
        reply.text = s.readMultiline(
            static_cast<std::size_t>(sizes_[static_cast<std::size_t>(i - 1)]) + (1u << 20));
    }
    pending_.pop_front();
    prefetched_[i] = std::move(reply);
}

void CurlMailComponent::drainHeaders() {
    while (!pending_.empty()) {
        readHeaderReply();
    }
}

// TOP commands that keep the scan's window of headers asked for, their
// replies expected after everything asked before. Topped up in batches once
// the window is large, so that a long scan is not one write per message.
std::string CurlMailComponent::readAheadCommands() {
    if (!pop_ || !pop_->pipelining || !scanAhead_) {
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

long CurlMailComponent::messageCount() {
    if (imap_) {
        requireImap();
    } else {
        popSession();
    }
    // As STAT counts: messages marked deleted are left out.
    return static_cast<long>(sizes_.size() - deleted_.size());
}

std::vector<std::string> CurlMailComponent::uniqueIds() {
    if (uids_) {
        return *uids_;
    }
    if (imap_) {
        requireImap();
        uids_ = imap_->uniqueIds();
        return *uids_;
    }
    popSession();
    std::vector<std::string> ids(sizes_.size());
    try {
        popCommand("UIDL");
    } catch (const MailError& e) {
        if (pop_ && !pop_->broken) {
            uids_.emplace();  // refused: a server without unique ids
            return *uids_;
        }
        throw;
    }
    std::istringstream lines(pop_->readMultiline(kListLimit));
    std::string line;
    bool complete = true;
    while (std::getline(lines, line)) {
        long number = 0;
        char id[72] = {};
        if (std::sscanf(line.c_str(), "%ld %70s", &number, id) == 2 && number >= 1 &&
            static_cast<std::size_t>(number) <= ids.size()) {
            ids[static_cast<std::size_t>(number - 1)] = id;
        }
    }
    for (const auto& id : ids) {
        complete = complete && !id.empty();
    }
    // A listing with holes names no message for sure.
    uids_ = complete ? ids : std::vector<std::string>{};
    return *uids_;
}

void CurlMailComponent::selectMessage(long i) {
    if (i != current_) {
        messageFetched_ = false;
        raw_.clear();
        raw_.shrink_to_fit();
        workHead_.clear();
        workHead_.shrink_to_fit();
        // Moved out, not assigned over: a string assigned an empty one keeps
        // its buffer, and a large body would stay for the rest of the run.
        (void)std::exchange(message_, mime::ParsedMessage());
        headerFetched_ = false;
        header_ = mime::ParsedHeader();
    }
    current_ = i;
}

void CurlMailComponent::requireMessage() const {
    if (current_ < 1 || static_cast<std::size_t>(current_) > sizes_.size()) {
        throw MailError(mailcode::kNoMessage,
                        "no message " + std::to_string(current_) + " in the mailbox");
    }
    if (deleted_.count(current_) != 0) {
        throw MailError(mailcode::kMessageDeleted,
                        "message " + std::to_string(current_) + " is marked deleted");
    }
}

void CurlMailComponent::fetchHeader() {
    if (imap_) {
        requireImap();
        requireMessage();
        header_ = mime::parseHeader(imap_->header(current_));
        headerFetched_ = true;
        from_ = header_.from;
        to_ = header_.to;
        subject_ = header_.subject;
        return;
    }
    Session& s = popSession();
    requireMessage();
    const long i = current_;
    const bool due = prefetched_.count(i) != 0 ||
                     std::any_of(pending_.begin(), pending_.end(), [i](const Expected& e) {
                         return e.kind == ReplyTo::Top && e.message == i;
                     });
    if (!due) {
        drainHeaders();
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
        readHeaderReply();
    }
    // Replies read ahead for messages before this one will not be asked for.
    prefetched_.erase(prefetched_.begin(), prefetched_.find(i));
    HeaderReply reply = std::move(prefetched_[i]);
    prefetched_.erase(i);
    // The scan goes on: keep its window of headers asked for.
    if (s.pipelining && scanAhead_) {
        window_ = std::min(window_ * 2, kMaxWindow);
        if (const std::string more = readAheadCommands(); !more.empty()) {
            s.sendLines(more);
        }
    }
    if (!reply.ok) {
        throw MailError(mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                        s.address.host + ": TOP: " + reply.status);
    }
    header_ = mime::parseHeader(reply.text);
    headerFetched_ = true;
    from_ = header_.from;
    to_ = header_.to;
    subject_ = header_.subject;
}

std::string CurlMailComponent::headerField(const std::string& name) const {
    for (const auto& f : header_.fields) {
        if (sameText(f.name, name)) {
            return mime::decodeHeaderValue(f.value);
        }
    }
    return {};
}

bool CurlMailComponent::hasHeaderField(const std::string& name) const {
    return std::any_of(header_.fields.begin(), header_.fields.end(),
                       [&](const auto& f) { return sameText(f.name, name); });
}

void CurlMailComponent::deleteMessage() {
    if (imap_) {
        requireImap();
        if (current_ >= 1 && deleted_.count(current_) != 0) {
            return;
        }
        requireMessage();
        deleted_.insert(current_);  // flagged and expunged at disconnect
        return;
    }
    popSession();
    // Deleting a message already marked in this session changes nothing: a
    // second DELE would only draw an -ERR.
    if (current_ >= 1 && deleted_.count(current_) != 0) {
        return;
    }
    requireMessage();
    Session& s = popSession();
    if (!s.pipelining) {
        popCommand("DELE " + std::to_string(current_));
        deleted_.insert(current_);
        return;
    }
    // Sent with the next command, its answer read before that command's.
    s.outbox += "DELE " + std::to_string(current_) + "\r\n";
    pending_.push_back({current_, ReplyTo::Dele});
    deleted_.insert(current_);
}

const mime::ParsedMessage& CurlMailComponent::ensureMessage() {
    if (messageFetched_) {
        return message_;
    }
    std::string raw;
    if (imap_) {
        requireImap();
        requireMessage();
        raw = imap_->message(current_);
    } else {
        popSession();
        requireMessage();
        const auto size = static_cast<std::size_t>(sizes_[static_cast<std::size_t>(current_ - 1)]);
        popCommand("RETR " + std::to_string(current_), true);
        raw = pop_->readMultiline(size * 2 + (1u << 20), size);
        if (raw.size() < size) {
            pop_->lost("message " + std::to_string(current_) + " cut short: " +
                       std::to_string(raw.size()) + " of " + std::to_string(size) + " bytes");
        }
    }
    message_ = mime::parseMessage(raw);
    raw_ = std::move(raw);
    header_ = message_;
    headerFetched_ = true;
    messageFetched_ = true;
    return message_;
}

void CurlMailComponent::fetchMessage() {
    const auto& m = ensureMessage();
    from_ = m.from;
    to_ = m.to;
    subject_ = m.subject;
}

void CurlMailComponent::saveWorkFile(const std::string& path) {
    // Made once per message: every merge of the message saves it again.
    if (!messageFetched_ || workHead_.empty()) {
        workHead_ = mime::workFileHead(ensureMessage());
    }
    writeWholeFile(path, {workHead_, message_.bodyText, mime::workFileTail(message_)});
}

void CurlMailComponent::saveMessageFile(const std::string& path) {
    ensureMessage();
    writeWholeFile(path, {raw_});
}

int CurlMailComponent::extraCount() {
    return ensureMessage().extraCount;
}

std::string CurlMailComponent::bodyText() {
    return ensureMessage().bodyText;
}

std::vector<DeliveryStatus> CurlMailComponent::deliveryReport() {
    return ensureMessage().deliveryReport;
}

void CurlMailComponent::closePop(bool quit) {
    if (!pop_ && !imap_) {
        return;
    }
    const bool live = imap_ ? !imap_->broken() : !pop_->broken && pop_->curl != nullptr;
    struct Reset {
        CurlMailComponent* self;
        ~Reset() {
            self->pop_.reset();
            self->imap_.reset();
            self->sizes_.clear();
            self->uids_.reset();
            self->deleted_.clear();
            self->deleteFailure_.reset();
            self->pending_.clear();
            self->prefetched_.clear();
            self->window_ = 1;
            self->nextToAsk_ = 0;
            self->scanAhead_ = false;
            self->selectMessage(0);
        }
    } reset{this};
    if (live && quit && imap_) {
        imap_->finish(deleted_);
        return;
    }
    if (live && quit) {
        // The QUIT commits the deletions; its answer says whether it did. A
        // refused DELE is reported after it, the others being committed.
        popCommand("QUIT");
        raiseDeleteFailure();
    }
}

// SMTP ------------------------------------------------------------------

void CurlMailComponent::smtpConnect(const std::string& host, SmtpProtocol protocol,
                                    const std::string& user, const std::string& password) {
    closeSmtp(true);
    smtp_ = open(host, false, user, password, protocol == SmtpProtocol::Esmtp);
}

// Sends commands (in one write when the server pipelines) and reads every
// reply; returns the first refusal (0 when all were accepted).
int CurlMailComponent::smtpCommands(const std::vector<std::string>& commands, bool pipelined,
                                    std::string* refusal) {
    Session& s = *smtp_;
    int refused = 0;
    std::string text;
    if (pipelined) {
        std::string all;
        for (const auto& c : commands) {
            all += c + "\r\n";
        }
        s.sendLines(all);
        for (std::size_t k = 0; k < commands.size(); ++k) {
            const int reply = s.readReply(&text);
            if (reply >= 400 && refused == 0) {
                refused = reply;
                if (refusal != nullptr) {
                    *refusal = text;
                }
            }
        }
        return refused;
    }
    for (const auto& c : commands) {
        s.sendLines(c + "\r\n");
        const int reply = s.readReply(&text);
        if (reply >= 400) {
            if (refusal != nullptr) {
                *refusal = text;
            }
            return reply;
        }
    }
    return 0;
}

// Addresses that are not ASCII go out as they are where the server takes
// UTF-8 (SMTPUTF8); elsewhere a domain goes in its ASCII form (GMime writes
// header fields that way), and a local part that is not ASCII cannot go at
// all: the server would refuse it.
bool CurlMailComponent::needsSmtpUtf8(const OutgoingMessage& message) {
    bool ascii = true;
    for (const std::string* field :
         {&message.to, &message.copyTo, &message.from, &message.sender}) {
        for (const auto& a : mime::mailboxes(*field)) {
            if (isAscii(a)) {
                continue;
            }
            ascii = false;
            if (!smtp_->smtputf8 && !asciiAddress(a)) {
                if (notice_) {
                    notice_("Cannot send to or from " + a + ": " + smtp_->address.host +
                            " does not accept addresses in UTF-8 (SMTPUTF8)");
                }
                throw MailError(mailcode::kSendRefused, a + ": needs SMTPUTF8");
            }
        }
    }
    return !ascii && smtp_->smtputf8;
}

void CurlMailComponent::send(const OutgoingMessage& message) {
    if (!smtp_ || smtp_->broken) {
        throw MailError(mailcode::kNotConnected, "no SMTP session");
    }
    const bool utf8 = needsSmtpUtf8(message);
    const std::string id = mime::makeMessageId(message.messageRef, message.from);
    std::string data = message.sourceFile.empty()
                           ? mime::composeText(message, id)
                           : mime::readdress(mime::encodeForSmtp(readWholeFile(message.sourceFile),
                                                                 smtp_->eightBitMime),
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
    const bool eightBit = smtp_->eightBitMime && std::any_of(data.begin(), data.end(), [](char c) {
                              return static_cast<unsigned char>(c) > 127;
                          });
    std::vector<std::string> envelope = {
        "MAIL FROM:<" + (senders.empty() ? std::string() : senders[0]) + ">" +
        (eightBit ? " BODY=8BITMIME" : "") + (utf8 ? " SMTPUTF8" : "")};
    for (const auto& a : rcpt) {
        envelope.push_back("RCPT TO:<" + a + ">");
    }
    Session& s = *smtp_;
    try {
        std::string text;
        if (s.pipelining && s.chunking) {
            sendChunked(envelope, std::move(data));
            return;
        }
        data = dotStuffed(data);
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
            int refused = 0;
            std::string refusal;
            for (std::size_t k = 0; k + 1 < envelope.size(); ++k) {
                const int reply = s.readReply(&refusal);
                if (reply >= 400 && refused == 0) {
                    refused = reply;
                    text = refusal;
                }
            }
            refusal = text;
            const int dataReply = s.readReply(&text);
            if (refused != 0 && dataReply == 354) {
                s.broken = true;
                s.abandon();
                throw MailError(
                    mailErrorCodeForReply(refused),
                    s.address.host + ": recipient refused (" + std::to_string(refused) + ")",
                    refusal);
            }
            if (refused != 0 || dataReply != 354) {
                smtpCommands({"RSET"}, false);
                const int code = refused != 0 ? refused : dataReply;
                throw MailError(mailErrorCodeForReply(code),
                                s.address.host + ": refused (" + std::to_string(code) + ")",
                                refused != 0 ? refusal : text);
            }
        } else {
            // Any refused address refuses the message: it is queued again whole.
            std::string refusal;
            if (const int refused = smtpCommands(envelope, false, &refusal)) {
                smtpCommands({"RSET"}, false);
                throw MailError(
                    mailErrorCodeForReply(refused),
                    s.address.host + ": envelope refused (" + std::to_string(refused) + ")",
                    refusal);
            }
            s.sendLines("DATA\r\n");
            if (const int reply = s.readReply(&text); reply != 354) {
                smtpCommands({"RSET"}, false);
                throw MailError(mailErrorCodeForReply(reply), s.address.host + ": DATA: " + text,
                                text);
            }
        }
        s.sendAll(data);
        if (const int reply = s.readReply(&text); reply >= 400) {
            throw MailError(mailErrorCodeForReply(reply), s.address.host + ": message: " + text,
                            text);
        }
    } catch (const MailError&) {
        if (smtp_->broken) {
            smtp_.reset();
        }
        throw;
    }
}

// MAIL, RCPT and the message as one BDAT chunk (RFC 3030) in one write, so
// that a message costs one round trip. With one recipient the chunk is the
// LAST: a refused recipient leaves none, and the server refuses the chunk.
// With several, the chunk waits for a "BDAT 0 LAST" sent only when every
// recipient was accepted (else RSET drops it): all or none.
void CurlMailComponent::sendChunked(const std::vector<std::string>& envelope, std::string data) {
    Session& s = *smtp_;
    if (!data.empty() && data.back() != '\n') {
        data += "\r\n";
    }
    const bool single = envelope.size() == 2;
    std::string commands;
    for (const auto& c : envelope) {
        commands += c + "\r\n";
    }
    commands += "BDAT " + std::to_string(data.size()) + (single ? " LAST\r\n" : "\r\n");
    s.sendLines(commands);
    s.sendAll(data);
    data.clear();
    data.shrink_to_fit();
    int refused = 0;
    std::string refusal;
    std::string text;
    for (std::size_t k = 0; k < envelope.size(); ++k) {
        const int reply = s.readReply(&text);
        if (reply >= 400 && refused == 0) {
            refused = reply;
            refusal = text;
        }
    }
    int chunkReply = s.readReply(&text);
    if (!single && refused == 0 && chunkReply < 400) {
        s.sendLines("BDAT 0 LAST\r\n");
        chunkReply = s.readReply(&text);
    }
    if (refused != 0 || chunkReply >= 400) {
        // The transaction is over for the server too; RSET makes sure.
        smtpCommands({"RSET"}, false);
        if (refused != 0) {
            throw MailError(mailErrorCodeForReply(refused),
                            s.address.host + ": refused (" + std::to_string(refused) + ")",
                            refusal);
        }
        throw MailError(mailErrorCodeForReply(chunkReply), s.address.host + ": message: " + text,
                        text);
    }
}

void CurlMailComponent::closeSmtp(bool quit) {
    if (!smtp_) {
        return;
    }
    std::unique_ptr<Session> s = std::move(smtp_);
    if (quit && !s->broken && s->curl != nullptr) {
        try {
            s->sendLines("QUIT\r\n");
            s->readReply(nullptr);
        } catch (const MailError&) {
            // Everything sent was already accepted; a lost QUIT loses nothing.
        }
    }
}

void CurlMailComponent::disconnect() {
    closeSmtp(true);
    closePop(true);
}

bool CurlMailComponent::idleOffered() const {
    return imap_ && !imap_->broken() && imap_->idleOffered();
}

bool CurlMailComponent::waitForNewMail(int seconds, const std::function<bool()>& stop) {
    if (!imap_) {
        throw MailError(mailcode::kNotConnected, "no IMAP session");
    }
    requireImap();
    return imap_->waitForNewMail(seconds, stop);
}

}  // namespace vorel
