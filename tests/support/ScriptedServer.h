#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace vorel::test {

// A peer written by the test, on a loopback port: each connection in turn is handed to `serve`
// on a thread of its own. Without `serve` nothing is accepted: connections complete in the
// kernel and are never answered (a silent host), and reached() says whether one came.
class ScriptedServer {
public:
    struct Peer {
        int fd = -1;
        std::string in;  // read and not yet taken
        void say(const std::string& text) const;
        // The next line without its CR LF; none when the client is gone.
        std::optional<std::string> line();
    };
    explicit ScriptedServer(std::function<void(Peer&)> serve = {},
                            const char* address = "127.0.0.1");
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    std::string address() const { return address_ + ":" + std::to_string(port_); }
    bool reached() const;  // silent only: a connection is waiting (taken and closed)

private:
    int fd_ = -1, port_ = 0;
    std::string address_;
    std::thread thread_;
};

// A POP3 peer answering lines from `answers` ("": greeting); else CAPA USER, LIST "1 30", +OK.
std::function<void(ScriptedServer::Peer&)> popScript(std::map<std::string, std::string> answers);

}  // namespace vorel::test
