#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorel::test {

// A TCP relay on 127.0.0.1 in front of a loopback server: adds latency and injects faults. A
// command is made to fail by the server, never by the relay: a client line is rewritten into one
// the server refuses, so replies stay in order on pipelined sessions.
class TcpProxy {
public:
    enum class Direction { ToServer, ToClient };

    // One fault on one connection, once `afterBytes` bytes went through in `direction`:
    // both sides closed at once, nothing forwarded for `ms`, or one byte every `ms` from then on.
    struct Fault {
        enum class Kind { Cut, Stall, Trickle };
        Kind kind = Kind::Cut;
        Direction direction = Direction::ToClient;
        std::size_t afterBytes = 0;
        int ms = 0;
    };

    struct Options {
        int delayMs = 0;  // every byte waits this long, in each direction
        // Per accepted connection (numbered from 1): its faults, as queueFaults.
        std::function<std::vector<Fault>(int connection)> faultsFor;
        // Per complete client line (CR LF included): a replacement, or nothing.
        std::function<std::optional<std::string>(int connection, const std::string& line)>
            rewriteLine;
        // A connection on which no byte passed for this long is cut, as a middlebox that
        // drops quiet connections (an IDLE) does; 0: never.
        int cutWhenQuietMs = 0;
    };

    struct Counters {
        int connections = 0, cuts = 0, stalls = 0, trickles = 0, rewrites = 0;
    };

    explicit TcpProxy(int targetPort) : TcpProxy(targetPort, Options{}) {}
    TcpProxy(int targetPort, Options options);
    ~TcpProxy();
    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    int port() const { return port_; }  // where clients connect
    // Faults for the next connection accepted (used before faultsFor); on
    // one direction in the order of afterBytes.
    void queueFaults(std::vector<Fault> faults) {
        std::lock_guard lock(m_);
        queuedFaults_.push_back(std::move(faults));
    }
    // The next client line that starts with `prefix` (any letter case) goes to
    // the server as `replacement` (CR LF added).
    void addRewrite(std::string prefix, std::string replacement) {
        std::lock_guard lock(m_);
        rules_.emplace_back(std::move(prefix), std::move(replacement));
    }
    Counters counters() const {
        std::lock_guard lock(m_);
        return counters_;
    }
    // Connections on which a cut, stall or trickle took effect.
    std::vector<int> faultedConnections() const {
        std::lock_guard lock(m_);
        return faulted_;
    }

    // Segments with data that clients sent on the connections still open: on loopback with
    // TCP_NODELAY, one per write of the client, however the relay's reads merged them.
    long clientSegments() const;

private:
    struct Link;
    void acceptLoop();
    void pump(std::shared_ptr<Link> link, bool up);                // one thread per direction
    std::string rewrite(int connection, const std::string& line);  // m_ held
    void count(const Link& l, int Counters::*field);

    int target_, listener_ = -1, port_ = 0;
    Options options_;
    mutable std::mutex m_;  // guards what the threads share
    bool stopping_ = false;
    std::deque<std::vector<Fault>> queuedFaults_;
    std::vector<std::pair<std::string, std::string>> rules_;
    Counters counters_;
    std::vector<int> faulted_;
    std::vector<std::weak_ptr<Link>> links_;
    std::thread acceptor_;
    std::vector<std::thread> threads_;
};

}  // namespace vorel::test
