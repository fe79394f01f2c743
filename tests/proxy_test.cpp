// The fault-injecting relay the soak uses: latency, a cut, a rewritten line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/TcpProxy.h"

using vorel::test::TcpProxy;
using Clock = std::chrono::steady_clock;

namespace {

// A one-connection line echo server: each line comes back as "got " + line.
class EchoServer {
public:
    EchoServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            std::string line;
            char c = 0;
            while (fd >= 0 && ::recv(fd, &c, 1, 0) == 1) {
                line += c;
                if (c == '\n') {
                    const std::string reply = "got " + line;
                    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                    line.clear();
                }
            }
            if (fd >= 0) {
                ::close(fd);
            }
        });
    }
    ~EchoServer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

// Everything the peer sends until it closes.
std::string sendAndReadAll(int fd, const std::string& text) {
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string got;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got;
}

}  // namespace

TEST(TcpProxy, DelaysEachDirectionAndKeepsOrder) {
    EchoServer server;
    TcpProxy::Options options;
    options.delayMs = 60;
    TcpProxy proxy(server.port(), options);
    const auto start = Clock::now();
    EXPECT_EQ(sendAndReadAll(connectTo(proxy.port()), "one\r\ntwo\r\n"), "got one\r\ngot two\r\n");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
    EXPECT_EQ(proxy.counters().connections, 1);
}

TEST(TcpProxy, CutEndsTheConnectionAtTheOffset) {
    EchoServer server;
    TcpProxy proxy(server.port());
    proxy.queueFaults({{TcpProxy::Fault::Kind::Cut, TcpProxy::Direction::ToClient, 6, 0}});
    EXPECT_EQ(sendAndReadAll(connectTo(proxy.port()), "hello\r\n"), "got he");
    EXPECT_EQ(proxy.counters().cuts, 1);
}

TEST(TcpProxy, RewrittenLineReachesTheServer) {
    EchoServer server;
    TcpProxy proxy(server.port());
    proxy.addRewrite("retr 3", "RETR 999999");
    proxy.queueFaults({{TcpProxy::Fault::Kind::Trickle, TcpProxy::Direction::ToClient, 0, 1}});
    EXPECT_EQ(sendAndReadAll(connectTo(proxy.port()), "RETR 2\r\nRETR 3\r\nRETR 3\r\n"),
              "got RETR 2\r\ngot RETR 999999\r\ngot RETR 3\r\n");
    EXPECT_EQ(proxy.counters().rewrites, 1);
    EXPECT_EQ(proxy.counters().trickles, 1);
}
