#include "run/CurlMailComponent.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "run/ServerAddress.h"

namespace vorel {

int MailErrorCodeFor(int curlCode, long responseCode, MailPhase phase) {
    const bool connecting = phase == MailPhase::PopConnect || phase == MailPhase::SmtpConnect;
    const bool smtp = phase == MailPhase::SmtpConnect || phase == MailPhase::SmtpSend;
    // Inside a POP3 session any failure to reach the server means the
    // connection we had is gone (libcurl was trying to open another).
    if (phase == MailPhase::PopCommand &&
        (curlCode == CURLE_COULDNT_CONNECT || curlCode == CURLE_COULDNT_RESOLVE_HOST)) {
        return 10057;
    }
    switch (curlCode) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return 11001;
        // Refused and unreachable alike: nothing answers at that address.
        case CURLE_COULDNT_CONNECT:
            return 10065;
        // SASL does not tell a wrong user from a wrong password.
        case CURLE_LOGIN_DENIED:
            return 20012;
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_WEIRD_SERVER_REPLY:
            // An SMTP server that answered a command with 5xx refused the mail.
            if (smtp && responseCode >= 500 && responseCode < 600) {
                return 20002;
            }
            if (curlCode == CURLE_WEIRD_SERVER_REPLY && !connecting) {
                break;  // an -ERR reply inside a session: a code of its own
            }
            // Connected, but no usable greeting or login: the host is not
            // the POP3 server it was said to be (or is not serving).
            if (phase == MailPhase::PopConnect) {
                return 0;
            }
            if (phase == MailPhase::SmtpConnect) {
                return 10065;
            }
            return 10057;
        default:
            break;
    }
    return mailcode::kCurlBase + curlCode;
}

struct CurlMailComponent::Session {
    CURL* curl = nullptr;
    ServerAddress address;
    std::string base;
    std::string url;      // as last set on the handle
    bool nobody = false;  // as last set on the handle
    std::string body;
    std::size_t bodyLimit = 0;
    const std::string* upload = nullptr;
    std::size_t uploadPos = 0;
    curl_slist* recipients = nullptr;
    bool startTlsSent = false;
    bool quitSent = false;
    std::string lastReply;
    bool broken = false;
    const TranscriptHandler* transcript = nullptr;
    const bool* transcriptOn = nullptr;
    char error[CURL_ERROR_SIZE] = {};

    ~Session() {
        if (recipients != nullptr) {
            curl_slist_free_all(recipients);
        }
        if (curl != nullptr) {
            curl_easy_cleanup(curl);
        }
    }
    // Closes the connection without a QUIT: a POP3 QUIT would commit
    // deletions made on a connection we can no longer vouch for.
    void abandon() {
        if (curl == nullptr) {
            return;
        }
        curl_socket_t fd = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK &&
            fd != CURL_SOCKET_BAD) {
            ::shutdown(fd, SHUT_RDWR);
        }
        curl_easy_cleanup(curl);
        curl = nullptr;
    }
};

namespace {

using Session = CurlMailComponent::Session;

// Each HEADER_OUT/HEADER_IN call is normally one protocol line; split anyway.
int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    if (type != CURLINFO_HEADER_OUT && type != CURLINFO_HEADER_IN) {
        return 0;
    }
    auto* s = static_cast<Session*>(userp);
    const std::string text(data, size);
    const auto direction =
        type == CURLINFO_HEADER_OUT ? TranscriptDirection::Sent : TranscriptDirection::Received;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        const std::string line = text.substr(pos, end - pos);
        pos = end;
        if (direction == TranscriptDirection::Sent) {
            std::string upper = line.substr(0, 8);
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            if (upper.rfind("STLS", 0) == 0 || upper.rfind("STARTTLS", 0) == 0) {
                s->startTlsSent = true;
            }
            if (upper.rfind("QUIT", 0) == 0) {
                s->quitSent = true;
            }
        } else {
            s->lastReply = line;
        }
        if (*s->transcriptOn && *s->transcript) {
            try {
                (*s->transcript)(line, direction);
            } catch (...) {
                // A failing log must not unwind through libcurl.
            }
        }
    }
    return 0;
}

size_t onWrite(char* data, size_t size, size_t n, void* userp) {
    auto* s = static_cast<Session*>(userp);
    const size_t bytes = size * n;
    // A server that never stops sending must not exhaust memory.
    if (s->body.size() + bytes > s->bodyLimit) {
        return 0;
    }
    s->body.append(data, bytes);
    return bytes;
}

size_t onRead(char* buffer, size_t size, size_t n, void* userp) {
    auto* s = static_cast<Session*>(userp);
    if (s->upload == nullptr) {
        return 0;
    }
    const size_t chunk = std::min(size * n, s->upload->size() - s->uploadPos);
    std::memcpy(buffer, s->upload->data() + s->uploadPos, chunk);
    s->uploadPos += chunk;
    return chunk;
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

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw MailError(mailcode::kFile, "cannot open message file " + path);
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        throw MailError(mailcode::kFile, "cannot read message file " + path);
    }
    return out.str();
}

void writeWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        throw MailError(mailcode::kFile, "cannot write " + path);
    }
}

constexpr std::size_t kListLimit = 64u << 20;

}  // namespace

CurlMailComponent::CurlMailComponent() {
    globalInit();
    mime::EnsureInit();
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
    for (Session* s : {pop_.get(), smtp_.get()}) {
        if (s != nullptr && s->curl != nullptr) {
            curl_easy_setopt(s->curl, CURLOPT_VERBOSE, on ? 1L : 0L);
        }
    }
}

void CurlMailComponent::setNoticeHandler(NoticeHandler handler) {
    notice_ = std::move(handler);
}

void CurlMailComponent::setTimeout(int seconds) {
    // No time-out at all would let a silent server hang the run for good.
    timeout_ = seconds > 0 ? seconds : 60;
    for (Session* s : {pop_.get(), smtp_.get()}) {
        if (s != nullptr && s->curl != nullptr) {
            applyOptions(*s);
        }
    }
}

void CurlMailComponent::applyOptions(Session& s) {
    const long t = timeout_;
    curl_easy_setopt(s.curl, CURLOPT_CONNECTTIMEOUT, t);
    curl_easy_setopt(s.curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, t);
    // An inactivity limit rather than a total: a big message on a slow line
    // may take longer than the time-out, a stalled one may not.
    curl_easy_setopt(s.curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(s.curl, CURLOPT_LOW_SPEED_TIME, t);
}

[[noreturn]] void CurlMailComponent::fail(Session& s, int curlCode, MailPhase phase) {
    long response = 0;
    if (s.curl != nullptr) {
        curl_easy_getinfo(s.curl, CURLINFO_RESPONSE_CODE, &response);
    }
    const int code = MailErrorCodeFor(curlCode, response, phase);
    std::string detail =
        s.address.host + ": " + curl_easy_strerror(static_cast<CURLcode>(curlCode));
    if (s.error[0] != '\0') {
        detail += std::string(" (") + s.error + ")";
    }
    if (tlsFailure(curlCode) && notice_) {
        // The table has no text for these; the run log should still say why.
        notice_("Secure connection to " + s.address.host + " failed: " + detail);
    }
    if (&s == pop_.get()) {
        s.broken = true;
        s.abandon();
    }
    throw MailError(code, detail);
}

void CurlMailComponent::connected(Session& s) {
    const bool encrypted =
        s.address.security == ServerAddress::Security::Implicit || s.startTlsSent;
    if (!encrypted && !s.address.loopback() && notice_) {
        notice_("The connection to " + s.address.host + " is not encrypted");
    }
    curl_easy_setopt(s.curl, CURLOPT_VERBOSE, transcriptOn_ ? 1L : 0L);
}

namespace {

std::unique_ptr<Session> openSession(const std::string& setting, ServerAddress::Service service,
                                     const CurlMailComponent::TranscriptHandler* transcript,
                                     const bool* transcriptOn) {
    auto s = std::make_unique<Session>();
    try {
        s->address = ParseServerAddress(setting, service);
    } catch (const std::invalid_argument& e) {
        throw MailError(mailcode::kBadServerAddress, e.what());
    }
    s->base = s->address.url();
    s->transcript = transcript;
    s->transcriptOn = transcriptOn;
    s->curl = curl_easy_init();
    if (s->curl == nullptr) {
        throw MailError(mailcode::kCurlBase + CURLE_FAILED_INIT, "libcurl failed to start");
    }
    CURL* c = s->curl;
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, s->error);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, s.get());
    // Verbose while connecting, whatever the transcript: the STARTTLS line
    // tells whether the connection ended up encrypted.
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, s.get());
    curl_easy_setopt(c, CURLOPT_READFUNCTION, onRead);
    curl_easy_setopt(c, CURLOPT_READDATA, s.get());
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024);
    // Whole buffers per write: a message in a few large sends, not per line.
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
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
    return s;
}

}  // namespace

// POP3 ------------------------------------------------------------------

void CurlMailComponent::popConnect(const std::string& host, const std::string& user,
                                   const std::string& password) {
    closePop(true);
    auto s = openSession(host, ServerAddress::Service::Pop3, &transcript_, &transcriptOn_);
    applyOptions(*s);
    curl_easy_setopt(s->curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(s->curl, CURLOPT_PASSWORD, password.c_str());
    // Login and the listing in one request: the count and every size.
    s->url = s->base + "/";
    curl_easy_setopt(s->curl, CURLOPT_URL, s->url.c_str());
    s->bodyLimit = kListLimit;
    const CURLcode rc = curl_easy_perform(s->curl);
    if (rc != CURLE_OK) {
        fail(*s, rc, MailPhase::PopConnect);
    }
    std::istringstream lines(s->body);
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
    s->body.clear();
    s->body.shrink_to_fit();
    connected(*s);
    pop_ = std::move(s);
}

std::string CurlMailComponent::popRequest(const std::string& path, const char* command,
                                          bool nobody) {
    if (!pop_) {
        throw MailError(10057, "no POP3 session");
    }
    Session& s = *pop_;
    if (s.broken) {
        throw MailError(10057, s.address.host + ": the POP3 session was lost");
    }
    // Parsing the URL again for every TOP is a measurable part of a scan.
    std::string url = s.base + "/" + path;
    if (url != s.url) {
        curl_easy_setopt(s.curl, CURLOPT_URL, url.c_str());
        s.url = std::move(url);
    }
    curl_easy_setopt(s.curl, CURLOPT_CUSTOMREQUEST, command);
    if (nobody != s.nobody) {
        curl_easy_setopt(s.curl, CURLOPT_NOBODY, nobody ? 1L : 0L);
        s.nobody = nobody;
    }
    s.body.clear();
    s.error[0] = '\0';
    const CURLcode rc = curl_easy_perform(s.curl);
    if (rc != CURLE_OK) {
        fail(s, rc, MailPhase::PopCommand);
    }
    long connects = 0;
    curl_easy_getinfo(s.curl, CURLINFO_NUM_CONNECTS, &connects);
    if (connects > 0) {
        // libcurl logged in again behind our back: other message numbers,
        // other pending deletions. Not a session we may go on with.
        s.broken = true;
        s.abandon();
        throw MailError(10057, s.address.host + ": the POP3 connection was lost");
    }
    return std::move(s.body);
}

long CurlMailComponent::messageCount() {
    if (!pop_ || pop_->broken) {
        throw MailError(10057, "no POP3 session");
    }
    // As STAT counts: messages marked deleted are left out.
    return static_cast<long>(sizes_.size() - deleted_.size());
}

void CurlMailComponent::selectMessage(long i) {
    if (i != current_) {
        messageFetched_ = false;
        raw_.clear();
        raw_.shrink_to_fit();
        message_ = mime::ParsedMessage();
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
    // Asking the server would earn an -ERR, after which libcurl quits.
    if (deleted_.count(current_) != 0) {
        throw MailError(mailcode::kMessageDeleted,
                        "message " + std::to_string(current_) + " is marked deleted");
    }
}

void CurlMailComponent::fetchHeader() {
    requireMessage();
    const long size = sizes_[static_cast<std::size_t>(current_ - 1)];
    pop_->bodyLimit = static_cast<std::size_t>(size) + (1u << 20);
    const std::string head =
        popRequest("", ("TOP " + std::to_string(current_) + " 0").c_str(), false);
    header_ = mime::ParseHeader(head);
    headerFetched_ = true;
    from_ = header_.from;
    to_ = header_.to;
    subject_ = header_.subject;
}

std::string CurlMailComponent::headerField(const std::string& name) const {
    for (const auto& f : header_.fields) {
        if (f.name.size() == name.size() &&
            std::equal(f.name.begin(), f.name.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return mime::DecodeHeaderValue(f.value);
        }
    }
    return {};
}

bool CurlMailComponent::hasHeaderField(const std::string& name) const {
    return std::any_of(header_.fields.begin(), header_.fields.end(), [&](const auto& f) {
        return f.name.size() == name.size() &&
               std::equal(f.name.begin(), f.name.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    });
}

void CurlMailComponent::deleteMessage() {
    requireMessage();
    popRequest("", ("DELE " + std::to_string(current_)).c_str(), true);
    deleted_.insert(current_);
}

const mime::ParsedMessage& CurlMailComponent::ensureMessage() {
    if (messageFetched_) {
        return message_;
    }
    requireMessage();
    const long size = sizes_[static_cast<std::size_t>(current_ - 1)];
    pop_->bodyLimit = static_cast<std::size_t>(size) * 2 + (1u << 20);
    std::string raw = popRequest(std::to_string(current_), nullptr, false);
    if (raw.size() < static_cast<std::size_t>(size)) {
        // libcurl reports a RETR cut off by a closed connection as success.
        pop_->broken = true;
        pop_->abandon();
        throw MailError(10057, "message " + std::to_string(current_) +
                                   " cut short: " + std::to_string(raw.size()) + " of " +
                                   std::to_string(size) + " bytes");
    }
    message_ = mime::ParseMessage(raw);
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
    writeWholeFile(path, mime::WorkFileText(ensureMessage()));
}

void CurlMailComponent::saveMessageFile(const std::string& path) {
    ensureMessage();
    writeWholeFile(path, raw_);
}

int CurlMailComponent::extraCount() {
    return ensureMessage().extraCount;
}

std::string CurlMailComponent::bodyText() {
    return ensureMessage().bodyText;
}

void CurlMailComponent::closePop(bool quit) {
    if (!pop_) {
        return;
    }
    std::unique_ptr<Session> s = std::move(pop_);
    sizes_.clear();
    deleted_.clear();
    selectMessage(0);
    if (s->broken || s->curl == nullptr || !quit) {
        s->abandon();
        return;
    }
    // The last request closes the connection, so the QUIT that commits the
    // deletions goes out now (and shows in the transcript) and its answer
    // can be checked.
    curl_easy_setopt(s->curl, CURLOPT_URL, (s->base + "/").c_str());
    curl_easy_setopt(s->curl, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(s->curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(s->curl, CURLOPT_VERBOSE, 1L);
    s->quitSent = false;
    s->lastReply.clear();
    const CURLcode rc = curl_easy_perform(s->curl);
    long connects = 0;
    curl_easy_getinfo(s->curl, CURLINFO_NUM_CONNECTS, &connects);
    if (rc != CURLE_OK || connects > 0) {
        s->abandon();
        throw MailError(10057, s->address.host + ": connection lost before QUIT");
    }
    if (!s->quitSent || s->lastReply.rfind("+OK", 0) != 0) {
        throw MailError(10057, s->address.host + ": QUIT was not accepted: " + s->lastReply);
    }
}

// SMTP ------------------------------------------------------------------

void CurlMailComponent::smtpConnect(const std::string& host, SmtpProtocol protocol,
                                    const std::string& user, const std::string& password) {
    closeSmtp();
    auto s = openSession(host, ServerAddress::Service::Smtp, &transcript_, &transcriptOn_);
    applyOptions(*s);
    s->base = s->address.url() + "/" + ehloName();
    if (protocol == SmtpProtocol::Esmtp) {
        curl_easy_setopt(s->curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(s->curl, CURLOPT_PASSWORD, password.c_str());
    }
    // Connect, greet, upgrade and authenticate now, so that a bad server
    // setting fails here rather than with the first message.
    curl_easy_setopt(s->curl, CURLOPT_URL, s->base.c_str());
    curl_easy_setopt(s->curl, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 1L);
    s->bodyLimit = 1u << 20;
    const CURLcode rc = curl_easy_perform(s->curl);
    if (rc != CURLE_OK) {
        fail(*s, rc, MailPhase::SmtpConnect);
    }
    curl_easy_setopt(s->curl, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
    connected(*s);
    smtp_ = std::move(s);
}

void CurlMailComponent::send(const OutgoingMessage& message) {
    if (!smtp_) {
        throw MailError(10057, "no SMTP session");
    }
    Session& s = *smtp_;
    const std::string id = mime::MakeMessageId(message.messageRef, message.from);
    std::string data = message.sourceFile.empty()
                           ? mime::ComposeText(message, id)
                           : mime::Readdress(readWholeFile(message.sourceFile), message, id);
    if (data.size() < 2 || data.compare(data.size() - 2, 2, "\r\n") != 0) {
        data += "\r\n";
    }
    std::vector<std::string> rcpt = mime::Mailboxes(message.to);
    for (const auto& a : mime::Mailboxes(message.copyTo)) {
        rcpt.push_back(a);
    }
    if (rcpt.empty()) {
        throw MailError(20002, "no recipient for the message");
    }
    const auto senders = mime::Mailboxes(message.sender.empty() ? message.from : message.sender);
    const std::string mailFrom = "<" + (senders.empty() ? std::string() : senders[0]) + ">";

    if (s.recipients != nullptr) {
        curl_slist_free_all(s.recipients);
        s.recipients = nullptr;
    }
    for (const auto& a : rcpt) {
        s.recipients = curl_slist_append(s.recipients, ("<" + a + ">").c_str());
    }
    curl_easy_setopt(s.curl, CURLOPT_URL, s.base.c_str());
    curl_easy_setopt(s.curl, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(s.curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(s.curl, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(s.curl, CURLOPT_MAIL_RCPT, s.recipients);
    curl_easy_setopt(s.curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(s.curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    s.upload = &data;
    s.uploadPos = 0;
    s.error[0] = '\0';
    const CURLcode rc = curl_easy_perform(s.curl);
    s.upload = nullptr;
    curl_easy_setopt(s.curl, CURLOPT_UPLOAD, 0L);
    if (rc != CURLE_OK) {
        fail(s, rc, MailPhase::SmtpSend);
    }
}

void CurlMailComponent::closeSmtp() {
    // curl_easy_cleanup says QUIT.
    smtp_.reset();
}

void CurlMailComponent::disconnect() {
    closeSmtp();
    closePop(true);
}

}  // namespace vorel
