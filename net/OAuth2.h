#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/SignIn.h"

namespace vorel {

// What is missing to sign in with `provider`, empty when nothing is.
std::string missingProviderSetting(const OAuth2Provider& provider);

inline constexpr char kMicrosoftRegisterHint[] =
    "Register a free public client at https://entra.microsoft.com (App registrations, "
    "\"Mobile and desktop applications\" with the redirect URI http://localhost, API "
    "permissions POP.AccessAsUser.All and SMTP.Send of Office 365 Exchange Online) and give "
    "its application (client) ID.";

// The protocol rules of the authorization-code flow with PKCE (RFC 7636).
namespace oauth2 {
// Random text of the URL-safe alphabet (PKCE verifier, state).
std::string randomText(std::size_t length);
// BASE64URL(SHA-256(verifier)) without padding: the S256 challenge.
std::string pkceChallenge(const std::string& verifier);
// application/x-www-form-urlencoded, spaces as %20.
std::string formEncode(const std::string& text);
std::string formDecode(const std::string& text);
std::string authorizationUrl(const OAuth2Provider& provider, const std::string& redirectUri,
                             const std::string& state, const std::string& challenge);

// What the browser brought back to the loopback listener.
struct Redirect {
    std::string code;
    std::string state;
    std::string error;  // the provider's error code, e.g. access_denied
    std::string errorDescription;
};
// The request line "GET /?code=...&state=... HTTP/1.1"; std::nullopt when
// it is not a redirect to the root (a favicon request, garbage).
std::optional<Redirect> parseRedirectRequest(const std::string& requestLine);

// A token endpoint's answer: HTTP status and JSON body.
TokenAnswer parseTokenAnswer(long httpStatus, const std::string& body);
// Whether the token URL may be used, by its parsed parts: HTTPS, or HTTP
// to 127.0.0.1, ::1 or localhost only (a refresh token must not cross a
// network in clear), and no user part.
bool usableEndpoint(const std::string& url);
// Why it may not be used, empty when it may.
std::string endpointProblem(const std::string& url);
}  // namespace oauth2

// The token endpoint over libcurl.
class CurlTokenService : public TokenService {
public:
    TokenAnswer refresh(const std::string& tokenUrl, const std::string& clientId,
                        const std::string& scope, const std::string& refreshToken) override;
    TokenAnswer exchangeCode(const OAuth2Provider& provider, const std::string& code,
                             const std::string& verifier, const std::string& redirectUri);
    // A form POST; the JSON body parsed as a token answer (or device answer).
    static TokenAnswer post(const std::string& url, const std::string& form,
                            std::string* rawBody = nullptr);
};

// The sign-in in the user's browser: listens once on 127.0.0.1 at a random
// port, hands out the authorization URL, waits for the redirect, checks
// its state and exchanges the code with the PKCE verifier. The listener is
// our own: it reads one request line, far less than an HTTP server library
// (libsoup and its main loop) would bring in.
class LoopbackSignIn {
public:
    explicit LoopbackSignIn(OAuth2Provider provider);
    ~LoopbackSignIn();
    LoopbackSignIn(const LoopbackSignIn&) = delete;
    LoopbackSignIn& operator=(const LoopbackSignIn&) = delete;

    // Opens the listener and returns the URL to open; throws std::runtime_error.
    std::string start();
    // Waits for the redirect (at most timeoutSeconds; `cancelled` asked
    // about five times a second) and exchanges the code. A failure is an
    // answer with error set.
    TokenAnswer finish(int timeoutSeconds, const std::function<bool()>& cancelled = {});

private:
    OAuth2Provider provider_;
    int listenFd_ = -1;
    std::string redirectUri_, state_, verifier_;
};

// The device-code flow (RFC 8628): `show` gets the provider's message (the
// code and the address to visit); polls until signed in, refused, expired or
// cancelled.
TokenAnswer deviceSignIn(const OAuth2Provider& provider,
                         const std::function<void(const std::string& message)>& show,
                         const std::function<bool()>& cancelled = {});

}  // namespace vorel
