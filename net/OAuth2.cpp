#include "net/OAuth2.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <utility>

#include "base/TextCompare.h"
#include "net/CurlHandle.h"

namespace vorel {

namespace {

constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

// The members of a JSON object: strings decoded, any other value as its JSON
// text, a missing member empty. std::nullopt when the text is not one
// well-formed object, or nests deeper than any token answer does (a value's
// text is written out recursively).
class JsonFields {
public:
    static std::optional<JsonFields> parse(const std::string& text) {
        bool tooDeep = false;
        const auto limitDepth = [&tooDeep](int depth, nlohmann::json::parse_event_t,
                                           nlohmann::json&) {
            tooDeep = tooDeep || depth > 64;
            return !tooDeep;
        };
        nlohmann::json object = nlohmann::json::parse(text, limitDepth, false);
        if (tooDeep || !object.is_object()) {
            return std::nullopt;
        }
        return JsonFields(std::move(object));
    }

    std::string operator[](const char* key) const {
        const auto it = object_.find(key);
        if (it == object_.end()) {
            return "";
        }
        return it->is_string() ? it->get<std::string>() : it->dump();
    }

private:
    explicit JsonFields(nlohmann::json object) : object_(std::move(object)) {}
    nlohmann::json object_;
};

std::string base64Url(const unsigned char* data, std::size_t size) {
    gchar* encoded = g_base64_encode(data, size);
    std::string out = encoded;
    g_free(encoded);
    for (char& c : out) {
        c = c == '+' ? '-' : (c == '/' ? '_' : c);
    }
    while (!out.empty() && out.back() == '=') {
        out.pop_back();
    }
    return out;
}

std::string base64UrlDecode(std::string text) {
    for (char& c : text) {
        c = c == '-' ? '+' : (c == '_' ? '/' : c);
    }
    while (text.size() % 4 != 0) {
        text += '=';
    }
    gsize size = 0;
    guchar* data = g_base64_decode(text.c_str(), &size);
    std::string out(reinterpret_cast<const char*>(data), size);
    g_free(data);
    return out;
}

// Who an ID token names (its payload is not checked: it only labels the
// sign-in for the user).
std::string accountOfIdToken(const std::string& idToken) {
    const std::size_t a = idToken.find('.');
    const std::size_t b = a == std::string::npos ? a : idToken.find('.', a + 1);
    if (b == std::string::npos) {
        return "";
    }
    const auto claims = JsonFields::parse(base64UrlDecode(idToken.substr(a + 1, b - a - 1)));
    if (!claims) {
        return "";
    }
    for (const char* key : {"preferred_username", "email", "upn", "name"}) {
        if (!(*claims)[key].empty()) {
            return (*claims)[key];
        }
    }
    return "";
}

size_t collectBody(char* data, size_t size, size_t count, void* userp) {
    auto* body = static_cast<std::string*>(userp);
    const size_t n = size * count;
    if (body->size() + n > (1u << 20)) {
        return 0;  // no token answer is that long
    }
    body->append(data, n);
    return n;
}

void sendText(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// The request line of a browser's request, read within a few seconds.
std::string readRequestLine(int fd) {
    std::string in;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (in.find('\n') == std::string::npos && in.size() < 16384) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        in.append(buffer, static_cast<std::size_t>(n));
    }
    std::string line = in.substr(0, in.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

void answerBrowser(int fd, int status, const std::string& text) {
    const std::string body =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Vorel"
        "</title></head><body><p>" +
        text + "</p></body></html>";
    sendText(fd, "HTTP/1.1 " + std::to_string(status) +
                     (status == 200 ? " OK" : (status == 404 ? " Not Found" : " Bad Request")) +
                     "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

TokenAnswer failed(const std::string& error, const std::string& text) {
    TokenAnswer a;
    a.error = error;
    a.errorText = text;
    return a;
}

}  // namespace

std::string missingProviderSetting(const OAuth2Provider& p) {
    if (p.clientId.empty()) {
        return "no client ID is set";
    }
    if (p.tokenUrl.empty()) {
        return "no token URL is set";
    }
    return oauth2::endpointProblem(p.tokenUrl);
}

namespace oauth2 {

std::string randomText(std::size_t length) {
    std::string out;
    unsigned char bytes[64];
    while (out.size() < length) {
        const ssize_t n = ::getrandom(bytes, sizeof bytes, 0);
        if (n <= 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("no random numbers");
        }
        for (ssize_t k = 0; k < n && out.size() < length; ++k) {
            // 66 characters: drop the few bytes that would bias the draw.
            if (bytes[k] < 198) {
                out += kUrlSafe[bytes[k] % 66];
            }
        }
    }
    return out;
}

std::string pkceChallenge(const std::string& verifier) {
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, reinterpret_cast<const guchar*>(verifier.data()),
                      static_cast<gssize>(verifier.size()));
    guint8 digest[32];
    gsize size = sizeof digest;
    g_checksum_get_digest(sum, digest, &size);
    g_checksum_free(sum);
    return base64Url(digest, size);
}

// libcurl leaves exactly the unreserved characters (A-Z a-z 0-9 - . _ ~) as
// they are and leaves a malformed escape alone when decoding.
std::string formEncode(const std::string& text) {
    char* encoded = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (encoded == nullptr) {
        throw std::bad_alloc();
    }
    std::string out = encoded;
    curl_free(encoded);
    return out;
}

std::string formDecode(const std::string& text) {
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    int size = 0;
    char* decoded =
        curl_easy_unescape(nullptr, spaced.data(), static_cast<int>(spaced.size()), &size);
    if (decoded == nullptr) {
        throw std::bad_alloc();
    }
    std::string out(decoded, static_cast<std::size_t>(size));
    curl_free(decoded);
    return out;
}

std::string authorizationUrl(const OAuth2Provider& p, const std::string& redirectUri,
                             const std::string& state, const std::string& challenge) {
    return p.authorizeUrl + (p.authorizeUrl.find('?') == std::string::npos ? "?" : "&") +
           "response_type=code&client_id=" + formEncode(p.clientId) +
           "&redirect_uri=" + formEncode(redirectUri) + "&scope=" + formEncode(p.scope) +
           "&state=" + formEncode(state) + "&code_challenge=" + formEncode(challenge) +
           "&code_challenge_method=S256";
}

std::optional<Redirect> parseRedirectRequest(const std::string& requestLine) {
    if (requestLine.rfind("GET /", 0) != 0) {
        return std::nullopt;
    }
    const std::size_t end = requestLine.find(' ', 4);
    const std::string target = requestLine.substr(4, end == std::string::npos ? end : end - 4);
    const std::size_t q = target.find('?');
    if (target.substr(0, q) != "/" || q == std::string::npos) {
        return std::nullopt;
    }
    Redirect r;
    std::string query = target.substr(q + 1);
    std::size_t pos = 0;
    while (pos <= query.size()) {
        const std::size_t amp = std::min(query.find('&', pos), query.size());
        const std::string pair = query.substr(pos, amp - pos);
        const std::size_t eq = pair.find('=');
        const std::string key = formDecode(pair.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : formDecode(pair.substr(eq + 1));
        if (key == "code") {
            r.code = value;
        } else if (key == "state") {
            r.state = value;
        } else if (key == "error") {
            r.error = value;
        } else if (key == "error_description") {
            r.errorDescription = value;
        }
        pos = amp + 1;
    }
    if (r.code.empty() && r.error.empty()) {
        return std::nullopt;
    }
    return r;
}

TokenAnswer parseTokenAnswer(long httpStatus, const std::string& body) {
    const auto fields = JsonFields::parse(body);
    if (!fields) {
        TokenAnswer a =
            failed("invalid_response",
                   "the token endpoint answered " + std::to_string(httpStatus) + " without JSON");
        a.transportFailed = true;  // a portal, a proxy's page: not the provider's word
        return a;
    }
    const JsonFields& f = *fields;
    TokenAnswer a;
    if (!f["error"].empty()) {
        a.error = f["error"];
        a.errorText = f["error_description"].empty() ? a.error : f["error_description"];
        return a;
    }
    if (httpStatus != 200 || f["access_token"].empty()) {
        return failed("invalid_response", "the token endpoint answered " +
                                              std::to_string(httpStatus) + " without a token");
    }
    a.accessToken = f["access_token"];
    a.refreshToken = f["refresh_token"];
    a.expiresIn = std::strtol(f["expires_in"].c_str(), nullptr, 10);
    a.account = accountOfIdToken(f["id_token"]);
    return a;
}

std::string endpointProblem(const std::string& url) {
    // By the parsed parts, as libcurl will use them: a prefix says nothing
    // of where "http://127.0.0.1:@evil.example/" goes.
    CURLU* u = curl_url();
    char* scheme = nullptr;
    char* host = nullptr;
    char* user = nullptr;
    char* password = nullptr;
    bool parsed = u != nullptr && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                  curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                  curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK;
    // A refresh token goes to a provider, never under a name of its own.
    const bool named =
        parsed && (curl_url_get(u, CURLUPART_USER, &user, 0) != CURLUE_NO_USER ||
                   curl_url_get(u, CURLUPART_PASSWORD, &password, 0) != CURLUE_NO_PASSWORD);
    bool secure = false;
    if (parsed) {
        const std::string s = lowerCase(scheme);
        const std::string h = lowerCase(host);
        // In clear only where it never leaves the machine.
        secure =
            s == "https" || (s == "http" && (h == "127.0.0.1" || h == "[::1]" || h == "localhost"));
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(user);
    curl_free(password);
    curl_url_cleanup(u);
    if (!secure) {
        return "the token URL must use https";
    }
    return named ? "the token URL must not hold a user name" : "";
}

bool usableEndpoint(const std::string& url) {
    return endpointProblem(url).empty();
}

}  // namespace oauth2

TokenAnswer CurlTokenService::post(const std::string& url, const std::string& form,
                                   std::string* rawBody) {
    if (!oauth2::usableEndpoint(url)) {
        return failed(kTokenUrlRefused, oauth2::endpointProblem(url));
    }
    CURL* curl = newCurlHandle();
    if (curl == nullptr) {
        return failed("temporarily_unavailable", "libcurl failed to start");
    }
    std::string body;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A provider that does not answer must not hold a run for long.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(curl, CURLOPT_PROXY, "");  // the token must reach the provider itself
    struct curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        TokenAnswer a =
            failed("temporarily_unavailable",
                   std::string("cannot reach the token endpoint: ") + curl_easy_strerror(rc) +
                       (error[0] != '\0' ? std::string(" (") + error + ")" : ""));
        a.transportFailed = true;
        return a;
    }
    if (rawBody != nullptr) {
        *rawBody = body;
    }
    return oauth2::parseTokenAnswer(status, body);
}

TokenAnswer CurlTokenService::refresh(const std::string& tokenUrl, const std::string& clientId,
                                      const std::string& scope, const std::string& refreshToken) {
    using oauth2::formEncode;
    std::string form = "grant_type=refresh_token&client_id=" + formEncode(clientId) +
                       "&refresh_token=" + formEncode(refreshToken);
    if (!scope.empty()) {
        form += "&scope=" + formEncode(scope);
    }
    return post(tokenUrl, form);
}

TokenAnswer CurlTokenService::exchangeCode(const OAuth2Provider& p, const std::string& code,
                                           const std::string& verifier,
                                           const std::string& redirectUri) {
    using oauth2::formEncode;
    return post(p.tokenUrl, "grant_type=authorization_code&client_id=" + formEncode(p.clientId) +
                                "&code=" + formEncode(code) + "&redirect_uri=" +
                                formEncode(redirectUri) + "&code_verifier=" + formEncode(verifier) +
                                (p.scope.empty() ? "" : "&scope=" + formEncode(p.scope)));
}

LoopbackSignIn::LoopbackSignIn(OAuth2Provider provider) : provider_(std::move(provider)) {}

LoopbackSignIn::~LoopbackSignIn() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

std::string LoopbackSignIn::start() {
    if (const std::string missing = missingProviderSetting(provider_); !missing.empty()) {
        throw std::runtime_error("Cannot sign in: " + missing);
    }
    if (provider_.authorizeUrl.empty()) {
        throw std::runtime_error("Cannot sign in: no authorization URL is set");
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;  // the kernel picks a free port
    socklen_t size = sizeof a;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        throw std::runtime_error(std::string("Cannot listen on 127.0.0.1: ") +
                                 std::strerror(errno));
    }
    redirectUri_ = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
    state_ = oauth2::randomText(32);
    verifier_ = oauth2::randomText(64);
    return oauth2::authorizationUrl(provider_, redirectUri_, state_,
                                    oauth2::pkceChallenge(verifier_));
}

TokenAnswer LoopbackSignIn::finish(int timeoutSeconds, const std::function<bool()>& cancelled) {
    if (listenFd_ < 0) {
        return failed("invalid_request", "the sign-in was not started");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (true) {
        if (cancelled && cancelled()) {
            return failed("cancelled", "The sign-in was cancelled.");
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return failed("timeout", "No answer from the browser within " +
                                         std::to_string(timeoutSeconds / 60) + " minutes.");
        }
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const auto redirect = oauth2::parseRedirectRequest(readRequestLine(fd));
        if (!redirect) {
            answerBrowser(fd, 404, "Not here.");
            ::close(fd);
            continue;
        }
        // Anything else on the machine may knock on the port: only the answer
        // to this sign-in's own request counts.
        if (redirect->state != state_) {
            answerBrowser(fd, 400, "This answer does not belong to the sign-in in Vorel.");
            ::close(fd);
            continue;
        }
        if (!redirect->error.empty()) {
            answerBrowser(fd, 400, "Sign-in refused. You can close this window.");
            ::close(fd);
            return failed(redirect->error, redirect->errorDescription.empty()
                                               ? redirect->error
                                               : redirect->errorDescription);
        }
        TokenAnswer answer =
            CurlTokenService().exchangeCode(provider_, redirect->code, verifier_, redirectUri_);
        answerBrowser(fd, answer.ok() ? 200 : 400,
                      answer.ok() ? "Signed in to Vorel. You can close this window."
                                  : "The sign-in failed; Vorel says why.");
        ::close(fd);
        ::close(listenFd_);
        listenFd_ = -1;
        return answer;
    }
}

TokenAnswer deviceSignIn(const OAuth2Provider& p,
                         const std::function<void(const std::string& message)>& show,
                         const std::function<bool()>& cancelled) {
    using oauth2::formEncode;
    if (p.deviceUrl.empty()) {
        return failed("invalid_request", "This provider has no device-code sign-in.");
    }
    if (const std::string missing = missingProviderSetting(p); !missing.empty()) {
        return failed("invalid_request", "Cannot sign in: " + missing);
    }
    std::string raw;
    const TokenAnswer started = CurlTokenService::post(
        p.deviceUrl, "client_id=" + formEncode(p.clientId) + "&scope=" + formEncode(p.scope), &raw);
    const auto fields = JsonFields::parse(raw);
    if (!fields || (*fields)["device_code"].empty()) {
        return started.error.empty() ? failed("invalid_response", "no device code in the answer")
                                     : started;
    }
    const JsonFields& f = *fields;
    show(!f["message"].empty() ? f["message"]
                               : "To sign in, visit " + f["verification_uri"] +
                                     " and enter the code " + f["user_code"]);
    long interval = std::max(1L, std::strtol(f["interval"].c_str(), nullptr, 10));
    const long expires = std::max(60L, std::strtol(f["expires_in"].c_str(), nullptr, 10));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(expires);
    while (std::chrono::steady_clock::now() < deadline) {
        for (long waited = 0; waited < interval * 5; ++waited) {
            if (cancelled && cancelled()) {
                return failed("cancelled", "The sign-in was cancelled.");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        TokenAnswer a = CurlTokenService::post(
            p.tokenUrl, "grant_type=urn:ietf:params:oauth:grant-type:device_code&client_id=" +
                            formEncode(p.clientId) +
                            "&device_code=" + formEncode(f["device_code"]));
        if (a.error == "authorization_pending") {
            continue;
        }
        if (a.error == "slow_down") {
            interval += 5;
            continue;
        }
        return a;
    }
    return failed("expired_token", "The code expired before the sign-in was finished.");
}

}  // namespace vorel
