#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorel::test {

// A TCP relay on 127.0.0.1 in front of a loopback server, for tests and
// benches: adds latency and injects faults on the way. One thread polls every
// connection; bytes keep their order in each direction and every direction
// buffers at most a bounded amount (it stops reading from a fast side).
//
// A command is made to fail by the server, never by the relay: a matching
// client line is rewritten into one the server refuses, so replies stay in
// order on pipelined sessions.
class TcpProxy {
public:
    enum class Direction { ToServer, ToClient };

    // One fault on one connection, starting once `afterBytes` bytes went
    // through in `direction`.
    struct Fault {
        enum class Kind {
            Cut,      // both sides closed at once; later bytes are dropped
            Stall,    // nothing forwarded in that direction for `ms`
            Trickle,  // from then on one byte every `ms`
        };
        Kind kind = Kind::Cut;
        Direction direction = Direction::ToClient;
        std::size_t afterBytes = 0;
        int ms = 0;
    };

    struct Options {
        int delayMs = 0;  // every byte waits this long, in each direction
        // Called for each accepted connection (numbered from 1): its faults.
        std::function<std::vector<Fault>(int connection)> faultsFor;
        // Called for each complete client line (CR LF included): a
        // replacement line, or nothing to forward it unchanged.
        std::function<std::optional<std::string>(int connection, const std::string& line)>
            rewriteLine;
    };

    struct Counters {
        int connections = 0;
        int cuts = 0;
        int stalls = 0;
        int trickles = 0;
        int rewrites = 0;
        int faults() const { return cuts + stalls + trickles + rewrites; }
    };

    explicit TcpProxy(int targetPort);
    TcpProxy(int targetPort, Options options);
    ~TcpProxy();
    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    int port() const;  // where clients connect

    // Faults for the next connection accepted (used before faultsFor).
    void queueFaults(std::vector<Fault> faults);
    // The next `times` client lines that start with `prefix` (any letter
    // case) go to the server as `replacement` (CR LF added).
    void addRewrite(std::string prefix, std::string replacement, int times = 1);

    Counters counters() const;
    // Connections on which a cut, stall or trickle actually took effect.
    std::vector<int> faultedConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorel::test
