#include "net/PopLogin.h"

#include <glib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "net/Session.h"

namespace vorel {

namespace {

std::string base64(const std::string& text) {
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
    std::string out = encoded;
    g_free(encoded);
    return out;
}

// The <...> timestamp of an APOP greeting; empty when there is none.
std::string apopTimestamp(const std::string& greeting) {
    const std::size_t open = greeting.find('<');
    const std::size_t close = open == std::string::npos ? open : greeting.find('>', open);
    if (close == std::string::npos || greeting.find('@', open) > close) {
        return "";
    }
    return greeting.substr(open, close - open + 1);
}

bool offers(const Session& s, const std::string& capability) {
    return std::find(s.capabilities.begin(), s.capabilities.end(), capability) !=
           s.capabilities.end();
}

// The mechanisms of the "SASL" capability line.
bool offersSasl(const Session& s, const std::string& mechanism) {
    for (const std::string& line : s.capabilities) {
        if (line.rfind("sasl ", 0) == 0 &&
            (" " + line.substr(4) + " ").find(" " + mechanism + " ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool command(Session& s, const std::string& line) {
    s.sendLines(line + "\r\n");
    std::string status;
    return s.readStatus(status);
}

// "+ " challenges until the server says +OK or -ERR.
bool saslLogin(Session& s, const std::string& user, const std::string& password) {
    s.sendLines("AUTH LOGIN\r\n");
    for (const std::string& answer : {base64(user), base64(password)}) {
        const std::string line = trimSpace(std::string(s.readLine(1u << 16)));
        s.emit(line + "\r\n", TranscriptDirection::Received);
        if (line != "+" && line.rfind("+ ", 0) != 0) {
            return false;
        }
        s.sendLines(answer + "\r\n");
    }
    std::string status;
    return s.readStatus(status);
}

bool apop(Session& s, const std::string& timestamp, const std::string& user,
          const std::string& password) {
    gchar* digest =
        g_compute_checksum_for_string(G_CHECKSUM_MD5, (timestamp + password).c_str(), -1);
    const std::string line = "APOP " + user + " " + digest;
    g_free(digest);
    return command(s, line);
}

}  // namespace

PopLoginResult popLogin(Session& s, const std::string& user, const std::string& password,
                        bool apopOnly) {
    // A line break would end our command early and let the setting speak
    // a command of its own.
    if ((user + password).find_first_of("\r\n") != std::string::npos) {
        return PopLoginResult::Refused;
    }
    // Before the login, where RFC 6856 allows it: a server that offers UTF8
    // may serve messages with UTF-8 headers only to clients that said so
    // (Courier shows a "Cannot display Unicode content" notice instead). A
    // refusal changes nothing.
    if (std::any_of(s.capabilities.begin(), s.capabilities.end(),
                    [](const std::string& c) { return c == "utf8" || c.rfind("utf8 ", 0) == 0; })) {
        command(s, "UTF8");
    }
    const std::string timestamp = apopTimestamp(s.greeting);
    if (apopOnly) {
        return !timestamp.empty() && apop(s, timestamp, user, password) ? PopLoginResult::LoggedIn
                                                                        : PopLoginResult::Refused;
    }
    if (offersSasl(s, "plain")) {
        return command(s, "AUTH PLAIN " + base64(std::string(1, '\0') + user + '\0' + password))
                   ? PopLoginResult::LoggedIn
                   : PopLoginResult::Refused;
    }
    if (offersSasl(s, "login")) {
        return saslLogin(s, user, password) ? PopLoginResult::LoggedIn : PopLoginResult::Refused;
    }
    // A server without CAPA is taken to know USER, as RFC 1939 servers do.
    if (offers(s, "user") || s.capabilities.empty() || timestamp.empty()) {
        try {
            if (command(s, "USER " + user) && command(s, "PASS " + password)) {
                return PopLoginResult::LoggedIn;
            }
        } catch (const MailError&) {
            if (timestamp.empty()) {
                throw;
            }
            return PopLoginResult::ApopOnNewConnection;
        }
        if (timestamp.empty()) {
            return PopLoginResult::Refused;
        }
    }
    return apop(s, timestamp, user, password) ? PopLoginResult::LoggedIn : PopLoginResult::Refused;
}

}  // namespace vorel
