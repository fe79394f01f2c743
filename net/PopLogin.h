#pragma once

#include <string>

namespace vorel {

struct Session;

// How a POP3 login ended.
enum class PopLoginResult {
    LoggedIn,
    Refused,              // every way the server offers was refused
    ApopOnNewConnection,  // the server hung up after refusing USER/PASS; APOP is left
};

// Logs in on a POP3 connection that libcurl has opened (and secured, where
// asked) without logging in: SASL PLAIN or LOGIN where CAPA offers them, else
// USER/PASS, and APOP only where USER is not offered or was refused. Many
// servers put an APOP timestamp in every greeting whether or not the account
// has an APOP secret, so APOP first would refuse good passwords.
// apopOnly: the first connection refused USER/PASS and was closed.
PopLoginResult popLogin(Session& s, const std::string& user, const std::string& password,
                        bool apopOnly);

}  // namespace vorel
