#include "support/TcpProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vorel::test {
namespace {

using Clock = std::chrono::steady_clock;

// Per direction: beyond this the relay stops reading from the sending side.
constexpr std::size_t kBufferCap = 256 * 1024;

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int connectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setNonBlocking(fd);
    return fd;
}

bool startsWithNoCase(const std::string& line, const std::string& prefix) {
    if (line.size() < prefix.size()) {
        return false;
    }
    return std::equal(prefix.begin(), prefix.end(), line.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

struct Chunk {
    Clock::time_point due;
    std::string data;
    std::size_t offset = 0;
};

struct Pipe {
    int from = -1;
    int to = -1;
    std::deque<Chunk> pending;
    std::size_t pendingBytes = 0;
    std::size_t forwarded = 0;
    bool sourceEnded = false;
    bool shutDown = false;                // SHUT_WR sent to `to`
    bool wantWrite = false;               // the last send would block
    std::vector<TcpProxy::Fault> faults;  // sorted by afterBytes, applied in order
    std::size_t nextFault = 0;
    Clock::time_point stallUntil{};
    int trickleMs = 0;
    Clock::time_point nextTrickle{};
    std::string partialLine;  // client direction, while lines are rewritten
};

struct Connection {
    int number = 0;
    int client = -1;
    int server = -1;
    Pipe up;    // client -> server
    Pipe down;  // server -> client
    bool dead = false;
};

}  // namespace

struct TcpProxy::Impl {
    struct Rule {
        std::string prefix;
        std::string replacement;
        int times = 1;
    };

    int target = 0;
    Options options;
    int listener = -1;
    int listenPort = 0;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::list<Connection> connections;

    mutable std::mutex mutex;  // guards what other threads touch below
    bool stopping = false;
    std::deque<std::vector<Fault>> queued;
    std::vector<Rule> rules;
    Counters counters;
    std::vector<int> faulted;

    void count(int Counters::*field) {
        std::lock_guard lock(mutex);
        ++(counters.*field);
    }

    void run();
    void accept();
    void readInto(Connection& c, Pipe& p, bool fromClient);
    void pushLines(Connection& c, Pipe& p, Clock::time_point due, bool flushAll);
    std::string rewrite(int connection, const std::string& line);
    void writeOut(Connection& c, Pipe& p, Clock::time_point now);
    void applyFault(Connection& c, Pipe& p, const Fault& f, Clock::time_point now);
    void close(Connection& c);
    bool rewriting() const;
};

bool TcpProxy::Impl::rewriting() const {
    if (options.rewriteLine) {
        return true;
    }
    std::lock_guard lock(mutex);
    return !rules.empty();
}

void TcpProxy::Impl::close(Connection& c) {
    if (!c.dead) {
        ::close(c.client);
        ::close(c.server);
        c.dead = true;
    }
}

void TcpProxy::Impl::accept() {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int server = connectLoopback(target);
        if (server < 0) {
            ::close(fd);
            continue;
        }
        setNonBlocking(fd);
        int number = 0;
        std::vector<Fault> faults;
        {
            std::lock_guard lock(mutex);
            number = ++counters.connections;
            if (!queued.empty()) {
                faults = std::move(queued.front());
                queued.pop_front();
            }
        }
        if (faults.empty() && options.faultsFor) {
            faults = options.faultsFor(number);
        }
        Connection& c = connections.emplace_back();
        c.number = number;
        c.client = fd;
        c.server = server;
        c.up.from = fd;
        c.up.to = server;
        c.down.from = server;
        c.down.to = fd;
        for (const Fault& f : faults) {
            (f.direction == Direction::ToServer ? c.up : c.down).faults.push_back(f);
        }
        for (Pipe* p : {&c.up, &c.down}) {
            std::stable_sort(
                p->faults.begin(), p->faults.end(),
                [](const Fault& a, const Fault& b) { return a.afterBytes < b.afterBytes; });
        }
    }
}

std::string TcpProxy::Impl::rewrite(int connection, const std::string& line) {
    if (options.rewriteLine) {
        if (auto replaced = options.rewriteLine(connection, line)) {
            count(&Counters::rewrites);
            return *replaced;
        }
    }
    std::lock_guard lock(mutex);
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (startsWithNoCase(line, it->prefix)) {
            std::string out = it->replacement + "\r\n";
            if (it->times > 0 && --it->times == 0) {
                rules.erase(it);
            }
            ++counters.rewrites;
            return out;
        }
    }
    return line;
}

void TcpProxy::Impl::pushLines(Connection& c, Pipe& p, Clock::time_point due, bool flushAll) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t lf = p.partialLine.find('\n', start);
        if (lf == std::string::npos) {
            break;
        }
        std::string line = rewrite(c.number, p.partialLine.substr(start, lf + 1 - start));
        p.pendingBytes += line.size();
        p.pending.push_back(Chunk{due, std::move(line), 0});
        start = lf + 1;
    }
    p.partialLine.erase(0, start);
    if (flushAll && !p.partialLine.empty()) {
        p.pendingBytes += p.partialLine.size();
        p.pending.push_back(Chunk{due, std::move(p.partialLine), 0});
        p.partialLine.clear();
    }
}

void TcpProxy::Impl::readInto(Connection& c, Pipe& p, bool fromClient) {
    char buffer[16384];
    const ssize_t n = ::recv(p.from, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(options.delayMs);
    if (n <= 0) {
        if (n < 0) {  // a reset passes on as a cut of the other side
            close(c);
            return;
        }
        p.sourceEnded = true;
        if (fromClient) {
            pushLines(c, p, due, true);
        }
        return;
    }
    if (fromClient && (rewriting() || !p.partialLine.empty())) {
        p.partialLine.append(buffer, static_cast<std::size_t>(n));
        pushLines(c, p, due, !rewriting());
        return;
    }
    p.pendingBytes += static_cast<std::size_t>(n);
    p.pending.push_back(Chunk{due, std::string(buffer, static_cast<std::size_t>(n)), 0});
}

void TcpProxy::Impl::applyFault(Connection& c, Pipe& p, const Fault& f, Clock::time_point now) {
    {
        std::lock_guard lock(mutex);
        if (faulted.empty() || faulted.back() != c.number) {
            faulted.push_back(c.number);
        }
    }
    switch (f.kind) {
        case Fault::Kind::Cut:
            count(&Counters::cuts);
            close(c);
            break;
        case Fault::Kind::Stall:
            count(&Counters::stalls);
            p.stallUntil = now + std::chrono::milliseconds(f.ms);
            break;
        case Fault::Kind::Trickle:
            count(&Counters::trickles);
            p.trickleMs = std::max(1, f.ms);
            p.nextTrickle = now;
            break;
    }
}

void TcpProxy::Impl::writeOut(Connection& c, Pipe& p, Clock::time_point now) {
    p.wantWrite = false;
    for (;;) {
        while (!c.dead && p.nextFault < p.faults.size() &&
               p.faults[p.nextFault].afterBytes <= p.forwarded) {
            applyFault(c, p, p.faults[p.nextFault++], now);
        }
        if (c.dead || p.pending.empty() || now < p.stallUntil ||
            (p.trickleMs > 0 && now < p.nextTrickle) || p.pending.front().due > now) {
            break;
        }
        Chunk& head = p.pending.front();
        std::size_t n = head.data.size() - head.offset;
        if (p.nextFault < p.faults.size()) {
            n = std::min(n, p.faults[p.nextFault].afterBytes - p.forwarded);
        }
        if (p.trickleMs > 0) {
            n = 1;
        }
        const ssize_t w = ::send(p.to, head.data.data() + head.offset, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                p.wantWrite = true;
            } else {
                close(c);
            }
            break;
        }
        const auto sent = static_cast<std::size_t>(w);
        p.forwarded += sent;
        p.pendingBytes -= sent;
        head.offset += sent;
        if (head.offset == head.data.size()) {
            p.pending.pop_front();
        }
        if (p.trickleMs > 0) {
            p.nextTrickle = now + std::chrono::milliseconds(p.trickleMs);
        }
    }
    if (!c.dead && p.sourceEnded && p.pending.empty() && p.partialLine.empty() && !p.shutDown) {
        ::shutdown(p.to, SHUT_WR);
        p.shutDown = true;
    }
}

void TcpProxy::Impl::run() {
    std::vector<pollfd> fds;
    std::vector<std::pair<Connection*, Pipe*>> owners;  // per pollfd beyond the first two
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                break;
            }
        }
        Clock::time_point now = Clock::now();
        for (Connection& c : connections) {
            writeOut(c, c.up, now);
            writeOut(c, c.down, now);
            if (c.up.shutDown && c.down.shutDown) {
                close(c);
            }
        }
        connections.remove_if([](const Connection& c) { return c.dead; });

        // What to wait for: readable sources with room, blocked writers, and
        // the earliest moment a held byte becomes due.
        fds.assign({pollfd{wake[0], POLLIN, 0}, pollfd{listener, POLLIN, 0}});
        owners.clear();
        Clock::time_point wakeAt = now + std::chrono::seconds(1);
        for (Connection& c : connections) {
            for (Pipe* p : {&c.up, &c.down}) {
                short events = 0;
                if (!p->sourceEnded && p->pendingBytes < kBufferCap) {
                    events |= POLLIN;
                }
                if (p->wantWrite) {
                    events |= POLLOUT;
                } else if (!p->pending.empty()) {
                    Clock::time_point at = std::max(p->pending.front().due, p->stallUntil);
                    if (p->trickleMs > 0) {
                        at = std::max(at, p->nextTrickle);
                    }
                    wakeAt = std::min(wakeAt, at);
                }
                // One pollfd per pipe end: read on `from`, write on `to`.
                if (events & POLLIN) {
                    fds.push_back(pollfd{p->from, POLLIN, 0});
                    owners.emplace_back(&c, p);
                }
                if (events & POLLOUT) {
                    fds.push_back(pollfd{p->to, POLLOUT, 0});
                    owners.emplace_back(&c, nullptr);
                }
            }
        }
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
        ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, waitMs)));
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) {
            accept();
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            auto [c, p] = owners[i - 2];
            if (p != nullptr && !c->dead && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                readInto(*c, *p, p == &c->up);
            }
        }
    }
    for (Connection& c : connections) {
        close(c);
    }
    connections.clear();
}

TcpProxy::TcpProxy(int targetPort) : TcpProxy(targetPort, Options{}) {}

TcpProxy::TcpProxy(int targetPort, Options options) : impl_(std::make_unique<Impl>()) {
    impl_->target = targetPort;
    impl_->options = std::move(options);
    impl_->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (impl_->listener < 0 ||
        ::bind(impl_->listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(impl_->listener, 64) != 0 ||
        ::getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("tcp proxy: cannot listen on 127.0.0.1");
    }
    impl_->listenPort = ntohs(addr.sin_port);
    impl_->thread = std::thread([this] { impl_->run(); });
}

TcpProxy::~TcpProxy() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    const char byte = 0;
    [[maybe_unused]] const ssize_t w = ::write(impl_->wake[1], &byte, 1);
    impl_->thread.join();
    ::close(impl_->listener);
    ::close(impl_->wake[0]);
    ::close(impl_->wake[1]);
}

int TcpProxy::port() const {
    return impl_->listenPort;
}

void TcpProxy::queueFaults(std::vector<Fault> faults) {
    std::lock_guard lock(impl_->mutex);
    impl_->queued.push_back(std::move(faults));
}

void TcpProxy::addRewrite(std::string prefix, std::string replacement, int times) {
    std::lock_guard lock(impl_->mutex);
    impl_->rules.push_back(Impl::Rule{std::move(prefix), std::move(replacement), times});
}

TcpProxy::Counters TcpProxy::counters() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->counters;
}

std::vector<int> TcpProxy::faultedConnections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->faulted;
}

}  // namespace vorel::test
