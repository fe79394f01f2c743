#include "net/ServerAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "base/TextCompare.h"

namespace vorel {
namespace {

int parsePort(const std::string& text, const std::string& whole) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        throw std::invalid_argument("bad port in server address \"" + whole + "\"");
    }
    int port = std::stoi(text);
    if (port < 1 || port > 65535) {
        throw std::invalid_argument("bad port in server address \"" + whole + "\"");
    }
    return port;
}

bool validHostChar(unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c >= 0x80;
}

}  // namespace

ServerAddress parseServerAddress(const std::string& text, ServerAddress::Service service) {
    const std::string whole = trimSpace(text);
    ServerAddress a;
    a.service = service;
    const bool pop = service == ServerAddress::Service::Pop3;
    a.port = pop ? 110 : 25;
    std::string rest = whole;
    const std::size_t sep = rest.find("://");
    if (sep != std::string::npos) {
        const std::string scheme = lowerCase(rest.substr(0, sep));
        if (scheme == (pop ? "pop3" : "smtp")) {
            a.security = ServerAddress::Security::Required;
        } else if (scheme == (pop ? "pop3s" : "smtps")) {
            a.security = ServerAddress::Security::Implicit;
            a.port = pop ? 995 : 465;
        } else if (pop && scheme == "imap") {
            a.service = ServerAddress::Service::Imap;
            a.security = ServerAddress::Security::Required;
            a.port = 143;
        } else if (pop && scheme == "imaps") {
            a.service = ServerAddress::Service::Imap;
            a.security = ServerAddress::Security::Implicit;
            a.port = 993;
        } else {
            throw std::invalid_argument("unsupported scheme in server address \"" + whole + "\"");
        }
        rest = rest.substr(sep + 3);
        // A trailing path ("smtp://host/") carries nothing for us.
        rest = rest.substr(0, rest.find('/'));
    }
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            throw std::invalid_argument("unclosed bracket in server address \"" + whole + "\"");
        }
        a.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                throw std::invalid_argument("bad server address \"" + whole + "\"");
            }
            a.port = parsePort(after.substr(1), whole);
        }
    } else {
        const std::size_t colon = rest.find(':');
        // More than one colon without brackets: a bare IPv6 address.
        if (colon != std::string::npos && rest.find(':', colon + 1) == std::string::npos) {
            a.host = rest.substr(0, colon);
            a.port = parsePort(rest.substr(colon + 1), whole);
        } else {
            a.host = rest;
        }
    }
    if (a.host.empty() || !std::all_of(a.host.begin(), a.host.end(),
                                       [](unsigned char c) { return validHostChar(c); })) {
        throw std::invalid_argument("bad server address \"" + whole + "\"");
    }
    return a;
}

std::string ServerAddress::url() const {
    std::string scheme = service == Service::Pop3   ? "pop3"
                         : service == Service::Imap ? "imap"
                                                    : "smtp";
    if (security == Security::Implicit) {
        scheme += 's';
    }
    const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return scheme + "://" + h + ":" + std::to_string(port);
}

bool ServerAddress::loopback() const {
    return isLoopbackHost(host);
}

bool isLoopbackHost(const std::string& host) {
    const std::string h = lowerCase(host);
    if (h == "localhost" || h == "localhost.") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, h.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return false;
}

bool isImapAddress(const std::string& text) {
    try {
        return parseServerAddress(text, ServerAddress::Service::Pop3).service ==
               ServerAddress::Service::Imap;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

}  // namespace vorel
