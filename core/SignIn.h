#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "store/SignInSettings.h"

namespace vorel {

// What a token endpoint answered.
struct TokenAnswer {
    std::string accessToken;
    std::string refreshToken;  // empty: the old one stays good
    long expiresIn = 0;        // seconds; 0 when not said
    std::string error;         // the OAuth2 error code ("invalid_grant"), empty on success
    std::string errorText;     // the provider's description, or why the endpoint was not reached
    std::string account;       // who signed in, when the answer says (an ID token's name)
    // No answer came (no connection, a time-out) or none that is JSON: not
    // the provider's word, so trying again at once would only wait again.
    bool transportFailed = false;
    bool ok() const { return error.empty() && !accessToken.empty(); }
};

// TokenAnswer::error of a token URL refused before anything was sent (no
// https, or a user name in it): the settings must change.
inline constexpr char kTokenUrlRefused[] = "token_url_refused";

// The provider's token endpoint, asked for a fresh access token.
class TokenService {
public:
    virtual ~TokenService() = default;
    virtual TokenAnswer refresh(const std::string& tokenUrl, const std::string& clientId,
                                const std::string& scope, const std::string& refreshToken) = 0;
};

// A run cannot sign in at all (an expired sign-in, no secret anywhere): it
// ends after the try at hand, with `what()` as its one log line.
class SignInStop : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The token endpoint did not answer as one: the run ends after the try at
// hand with `what()` as its one log line (and exit status 1); the next run
// tries again.
class TokenEndpointUnreachable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the run logs in with, found once per run: the password, or an OAuth2
// access token for SASL XOAUTH2.
class RunLogin {
public:
    virtual ~RunLogin() = default;
    // The secret for the next login; throws SignInStop or
    // TokenEndpointUnreachable.
    virtual std::string secret() = 0;
    virtual bool xoauth2() const = 0;
    // After a login refused with a token: a fresh one. False when there is
    // no other (a password, or a token already refreshed); throws SignInStop.
    virtual bool refreshAfterRefusal() = 0;
};

// A provider that refuses password logins says so in its own words; a
// wrong password looks the same otherwise. Returns the server's line when
// `detail` (a refused login's MailError text) holds one of those words.
std::optional<std::string> passwordRefusal(const std::string& detail);
// The line logged after it.
inline constexpr char kPasswordRefusedAdvice[] =
    "This provider does not take your password here: it needs an app password (made in the "
    "account's security settings) or OAuth2 sign-in (login method \"Sign in with Microsoft\" or "
    "\"Sign in (custom OAuth2)\" in the settings window, or vorel login).";

}  // namespace vorel
