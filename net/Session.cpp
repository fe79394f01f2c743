#include "net/Session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "base/TextCompare.h"
#include "net/CurlHandle.h"

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

// An EHLO reply line naming the extension: "250-NAME" or "250 NAME".
bool ehloOffers(const std::string& upper, std::string_view name) {
    return (upper.rfind("250-", 0) == 0 || upper.rfind("250 ", 0) == 0) &&
           upper.compare(4, name.size(), name) == 0;
}

// libcurl's side of the dialogue while it connects, negotiates TLS and logs
// in. Each HEADER_OUT/HEADER_IN call is normally one line; split anyway.
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
            if (ehloOffers(upper, "SIZE") &&
                (upper.size() == 8 || upper[8] == ' ' || upper[8] == '\r' || upper[8] == '\n')) {
                // "SIZE 8388608", or SIZE alone: no fixed limit.
                s->sizeOffered = true;
                const std::string number = trimSpace(std::string(line.substr(8)));
                std::uint64_t limit = 0;
                const auto [stop, ec] =
                    std::from_chars(number.data(), number.data() + number.size(), limit);
                s->sizeLimit =
                    ec == std::errc() && stop == number.data() + number.size() ? limit : 0;
            }
            noteReply(*s, trimSpace(std::string(line)));
        }
        s->emit(line, direction);
    }
    return 0;
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

}  // namespace

std::unique_ptr<Session> Session::open(const std::string& host, ServerAddress::Service service,
                                       const std::string& user, const std::string& password,
                                       bool authenticate, const SessionSettings& settings) {
    auto s = std::make_unique<Session>();
    const bool smtp = service == ServerAddress::Service::Smtp;
    try {
        s->address = parseServerAddress(host, service);
    } catch (const std::invalid_argument& e) {
        throw MailError(mailcode::kBadServerAddress, e.what());
    }
    s->settings = &settings;
    s->curl = newCurlHandle();
    if (s->curl == nullptr) {
        throw MailError(mailcode::kCurlBase + CURLE_FAILED_INIT, "libcurl failed to start");
    }
    CURL* c = s->curl;
    std::string url = s->address.url() + "/";
    if (smtp) {
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
    const long t = settings.timeout;
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, t);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, t);
    if (authenticate) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
        if (settings.xoauth2) {
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
    const CURLcode rc = s->connectAndLogIn();
    s->connecting = false;
    if (rc != CURLE_OK) {
        long response = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response);
        const int code =
            mailErrorCodeFor(rc, response, smtp ? MailPhase::SmtpConnect : MailPhase::PopConnect);
        std::string detail = s->address.host + ": " + curl_easy_strerror(rc);
        if (s->error[0] != '\0') {
            detail += std::string(" (") + s->error + ")";
        }
        if (code == mailcode::kBadPassword && !s->lastReceived.empty()) {
            detail += ": " + s->lastReceived;  // the server's own words on the refusal
        }
        if (tlsFailure(rc) && settings.notice) {
            // The table has no text for these; the run log should still say why.
            settings.notice("Secure connection to " + s->address.host + " failed: " + detail);
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
    if (!encrypted && !s->address.loopback() && settings.notice) {
        settings.notice("The connection to " + s->address.host + " is not encrypted");
    }
    return s;
}

Session::~Session() {
    abandon();
}

void Session::abandon() {
    if (curl == nullptr) {
        return;
    }
    if (fd != CURL_SOCKET_BAD) {
        ::shutdown(fd, SHUT_RDWR);
    }
    if (multi != nullptr) {
        curl_multi_remove_handle(multi, curl);
    }
    curl_easy_cleanup(curl);
    curl = nullptr;
    if (multi != nullptr) {
        curl_multi_cleanup(multi);
        multi = nullptr;
    }
}

void Session::emit(std::string_view line, TranscriptDirection direction) const {
    if (direction == TranscriptDirection::Received) {
        lastReceived = std::string(line.substr(0, line.find_last_not_of("\r\n") + 1));
    }
    if (settings->transcriptOn && settings->transcript) {
        try {
            settings->transcript(std::string(line), direction);
        } catch (...) {
            // A failing log must not end the session.
        }
    }
}

void Session::lost(const std::string& why) {
    broken = true;
    abandon();
    throw MailError(mailcode::kNotConnected, address.host + ": " + why);
}

void Session::waited() const {
    if (settings->wait) {
        try {
            settings->wait();
        } catch (...) {
            // Whoever waits with us cannot end the command.
        }
    }
}

void Session::waitFor(short events) {
    using std::chrono::steady_clock;
    const int seconds =
        waitCeiling > 0 ? std::min(settings->timeout, waitCeiling) : settings->timeout;
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
    pollfd p{fd, events, 0};
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            lost("no answer within " + std::to_string(seconds) + " seconds");
        }
        const int r =
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), kWaitSliceMs)));
        if (r > 0) {
            return;
        }
        if (r < 0 && errno != EINTR) {
            lost(std::string("poll: ") + std::strerror(errno));
        }
        waited();
    }
}

CURLcode Session::connectAndLogIn() {
    multi = curl_multi_init();
    if (multi == nullptr || curl_multi_add_handle(multi, curl) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    while (true) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        if (running == 0) {
            int left = 0;
            while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
                if (m->msg == CURLMSG_DONE) {
                    return m->data.result;
                }
            }
            return CURLE_FAILED_INIT;
        }
        if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(kWaitSliceMs), nullptr) !=
            CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        waited();
    }
}

void Session::sendAll(std::string_view data) {
    while (!data.empty()) {
        size_t n = 0;
        const CURLcode rc = curl_easy_send(curl, data.data(), data.size(), &n);
        if (rc == CURLE_AGAIN) {
            waitFor(POLLOUT);
            continue;
        }
        if (rc != CURLE_OK) {
            lost(curl_easy_strerror(rc));
        }
        data.remove_prefix(n);
    }
}

void Session::sendLines(const std::string& lines, std::string_view payload) {
    std::string all = std::move(outbox);
    outbox.clear();
    all += lines;
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::size_t end = all.find('\n', pos);
        const std::size_t stop = end == std::string::npos ? all.size() : end + 1;
        emit(std::string_view(all).substr(pos, stop - pos), TranscriptDirection::Sent);
        pos = stop;
    }
    // A large payload is not copied whole: its first part is enough to keep
    // the commands from going out alone.
    const std::size_t joined = std::min(payload.size(), kJoinedPayload);
    all.append(payload.substr(0, joined));
    sendAll(all);
    sendAll(payload.substr(joined));
}

std::string_view Session::readLine(std::size_t limit) {
    if (inPos > (1u << 16) && inPos * 2 > in.size()) {
        in.erase(0, inPos);
        inPos = 0;
    }
    std::size_t scanned = inPos;
    while (true) {
        const std::size_t nl = in.find('\n', scanned);
        if (nl != std::string::npos) {
            std::string_view line(in.data() + inPos, nl + 1 - inPos);
            inPos = nl + 1;
            return line;
        }
        scanned = in.size();
        if (in.size() - inPos > limit) {
            lost("reply line too long");
        }
        char buffer[64 * 1024];
        in.append(buffer, receive(buffer, sizeof buffer));
    }
}

std::size_t Session::receive(char* buffer, std::size_t size, bool idle) {
    while (true) {
        size_t n = 0;
        const CURLcode rc = curl_easy_recv(curl, buffer, size, &n);
        if (rc == CURLE_AGAIN) {
            if (!idle) {
                waitFor(POLLIN);
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(kWaitSliceMs));
            return 0;
        }
        if (rc != CURLE_OK) {
            lost(curl_easy_strerror(rc));
        }
        if (n == 0) {
            lost("the server closed the connection");
        }
        return n;
    }
}

std::string Session::readMultiline(std::size_t limit, std::size_t expected) {
    std::string body;
    body.reserve(std::min({expected, limit, std::size_t{1} << 30}));
    while (true) {
        std::string_view line = readLine(limit);
        if (line == ".\r\n" || line == ".\n") {
            return body;
        }
        if (line[0] == '.') {
            line.remove_prefix(1);
        }
        if (body.size() + line.size() > limit) {
            lost("reply larger than the message");
        }
        body.append(line);
    }
}

bool Session::readStatus(std::string& status) {
    status = std::string(readLine(1u << 16));
    emit(status, TranscriptDirection::Received);
    if (status.rfind("+OK", 0) == 0) {
        return true;
    }
    if (status.rfind("-ERR", 0) != 0) {
        lost("not a POP3 reply: " + status.substr(0, 80));
    }
    return false;
}

int Session::readReply(std::string* text) {
    while (true) {
        const std::string_view line = readLine(1u << 16);
        emit(line, TranscriptDirection::Received);
        if (line.size() < 4 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
            !std::isdigit(static_cast<unsigned char>(line[1])) ||
            !std::isdigit(static_cast<unsigned char>(line[2]))) {
            lost("not an SMTP reply: " + std::string(line.substr(0, 80)));
        }
        if (line[3] != '-') {
            if (text != nullptr) {
                *text = std::string(line);
            }
            return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        }
    }
}
}  // namespace vorel
