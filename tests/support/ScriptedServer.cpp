#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/TestServers.h"

namespace vorel::test {

void ScriptedServer::Peer::say(const std::string& text) const {
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

std::optional<std::string> ScriptedServer::Peer::line() {
    char chunk[65536];
    for (ssize_t n; in.find("\r\n") == std::string::npos;) {
        if ((n = ::read(fd, chunk, sizeof chunk)) <= 0) {
            return std::nullopt;
        }
        in.append(chunk, static_cast<std::size_t>(n));
    }
    std::string l = in.substr(0, in.find("\r\n"));
    in.erase(0, l.size() + 2);
    return l;
}

ScriptedServer::ScriptedServer(std::function<void(Peer&)> serve, const char* address)
    : address_(address) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (serve ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in a = loopbackAddress(0);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    socklen_t size = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    if (serve) {
        thread_ = std::thread([this, serve] {
            for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0; ::close(c)) {
                Peer p{c, {}};
                serve(p);
            }
        });
    }
}

ScriptedServer::~ScriptedServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::function<void(ScriptedServer::Peer&)> popScript(std::map<std::string, std::string> answers) {
    answers.emplace("", "+OK scripted\r\n");
    answers.emplace("CAPA", "+OK\r\nUSER\r\n.\r\n");
    answers.emplace("LIST", "+OK\r\n1 30\r\n.\r\n");
    return [answers](ScriptedServer::Peer& p) {
        for (std::optional<std::string> l = ""; l; l = p.line()) {
            const auto it = answers.find(*l);
            p.say(it == answers.end() ? "+OK\r\n" : it->second);
        }
    };
}

bool ScriptedServer::reached() const {
    const int c = ::accept(fd_, nullptr, nullptr);
    ::close(c);
    return c >= 0;
}

}  // namespace vorel::test
