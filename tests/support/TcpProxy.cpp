#include "support/TcpProxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace vorel::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBufferCap = 256 * 1024;  // per direction; beyond it reading waits

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

}  // namespace

// Two threads per direction of each connection: one reads and stamps, one
// forwards when due. One mutex guards everything they share.
struct TcpProxy::Impl {
    struct Pipe {
        int from = -1, to = -1;
        std::deque<std::pair<Clock::time_point, std::string>> queue;
        std::size_t queued = 0;
        bool ended = false;
        std::vector<Fault> faults;  // by afterBytes
    };
    struct Link {
        int number = 0, client = -1, server = -1;
        Pipe up, down;  // client -> server, server -> client
        bool cut = false;
        ~Link() {
            ::close(client);
            ::close(server);
        }
    };

    int target = 0, listener = -1, port = 0;
    Options options;
    mutable std::mutex m;
    std::condition_variable cv;
    bool stopping = false;
    std::deque<std::vector<Fault>> queuedFaults;
    std::vector<std::pair<std::string, std::string>> rules;
    Counters counters;
    std::vector<int> faulted;
    std::vector<std::weak_ptr<Link>> links;
    std::thread acceptor;
    std::vector<std::thread> threads;

    bool over(const Link& l) const { return l.cut || stopping; }
    void cut(Link& l) {  // m held
        l.cut = true;
        ::shutdown(l.client, SHUT_RDWR);
        ::shutdown(l.server, SHUT_RDWR);
        cv.notify_all();
    }
    void acceptLoop();
    void readLoop(std::shared_ptr<Link> link, Pipe& p);
    void writeLoop(std::shared_ptr<Link> link, Pipe& p);
    std::string rewrite(int connection, const std::string& line);
};

void TcpProxy::Impl::acceptLoop() {
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // shut down by the destructor
        }
        auto link = std::make_shared<Link>();
        link->client = client;
        link->server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = loopback(target);
        if (::connect(link->server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            continue;
        }
        for (int fd : {client, link->server}) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        link->up.from = link->down.to = client;
        link->up.to = link->down.from = link->server;
        std::vector<Fault> faults;
        {
            std::lock_guard lock(m);
            link->number = ++counters.connections;
            if (!queuedFaults.empty()) {
                faults = std::move(queuedFaults.front());
                queuedFaults.pop_front();
            }
        }
        if (faults.empty() && options.faultsFor) {
            faults = options.faultsFor(link->number);
        }
        std::stable_sort(faults.begin(), faults.end(), [](const Fault& a, const Fault& b) {
            return a.afterBytes < b.afterBytes;
        });
        for (const Fault& f : faults) {
            (f.direction == Direction::ToServer ? link->up : link->down).faults.push_back(f);
        }
        std::lock_guard lock(m);
        if (stopping) {
            return;
        }
        links.push_back(link);
        for (Pipe* p : {&link->up, &link->down}) {
            threads.emplace_back(&Impl::readLoop, this, link, std::ref(*p));
            threads.emplace_back(&Impl::writeLoop, this, link, std::ref(*p));
        }
    }
}

std::string TcpProxy::Impl::rewrite(int connection, const std::string& line) {
    if (options.rewriteLine) {
        if (auto replaced = options.rewriteLine(connection, line)) {
            ++counters.rewrites;
            return *replaced;
        }
    }
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (::strncasecmp(line.c_str(), it->first.c_str(), it->first.size()) == 0) {
            std::string out = it->second + "\r\n";
            rules.erase(it);
            ++counters.rewrites;
            return out;
        }
    }
    return line;
}

void TcpProxy::Impl::readLoop(std::shared_ptr<Link> link, Pipe& p) {
    std::string partial;  // client bytes are forwarded by whole lines while rewriting
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(p.from, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        std::unique_lock lock(m);
        const auto due = Clock::now() + std::chrono::milliseconds(options.delayMs);
        auto push = [&](std::string data) {
            p.queued += data.size();
            p.queue.emplace_back(due, std::move(data));
        };
        if (n <= 0 || over(*link)) {
            if (n < 0 && !link->cut) {
                cut(*link);  // a reset passes on as a cut of the other side
            }
            push(std::move(partial));
            p.ended = true;
            cv.notify_all();
            return;
        }
        partial.append(buffer, static_cast<std::size_t>(n));
        const bool rewriting = &p == &link->up && (options.rewriteLine || !rules.empty());
        std::size_t start = 0;
        for (std::size_t lf = 0; rewriting && (lf = partial.find('\n', start)) != std::string::npos;
             start = lf + 1) {
            push(rewrite(link->number, partial.substr(start, lf + 1 - start)));
        }
        partial.erase(0, start);
        if (!rewriting) {
            push(std::exchange(partial, {}));
        }
        cv.notify_all();
        cv.wait(lock, [&] { return p.queued < kBufferCap || over(*link); });
    }
}

void TcpProxy::Impl::writeLoop(std::shared_ptr<Link> link, Pipe& p) {
    std::size_t forwarded = 0, next = 0;
    int trickleMs = 0;
    std::unique_lock lock(m);
    auto waitUntil = [&](Clock::time_point t) {
        return cv.wait_until(lock, t, [&] { return over(*link); });
    };
    for (;;) {
        cv.wait(lock, [&] { return !p.queue.empty() || p.ended || over(*link); });
        for (; !over(*link) && next < p.faults.size() && p.faults[next].afterBytes <= forwarded;
             ++next) {
            if (std::find(faulted.begin(), faulted.end(), link->number) == faulted.end()) {
                faulted.push_back(link->number);
            }
            const Fault& f = p.faults[next];
            if (f.kind == Fault::Kind::Cut) {
                ++counters.cuts;
                cut(*link);
            } else if (f.kind == Fault::Kind::Stall) {
                ++counters.stalls;
                waitUntil(Clock::now() + std::chrono::milliseconds(f.ms));
            } else {
                ++counters.trickles;
                trickleMs = std::max(1, f.ms);
            }
        }
        if (over(*link)) {
            return;
        }
        if (p.queue.empty() || p.queue.front().second.empty()) {
            if (p.queue.empty()) {  // the source ended and everything went through
                ::shutdown(p.to, SHUT_WR);
                return;
            }
            p.queue.pop_front();
            continue;
        }
        if (waitUntil(p.queue.front().first)) {
            return;
        }
        std::string& data = p.queue.front().second;
        std::size_t n = trickleMs > 0 ? 1 : data.size();
        if (next < p.faults.size()) {
            n = std::min(n, p.faults[next].afterBytes - forwarded);
        }
        const std::string out = data.substr(0, n);
        lock.unlock();
        const ssize_t w = ::send(p.to, out.data(), out.size(), MSG_NOSIGNAL);
        lock.lock();
        if (w <= 0) {
            if (!link->cut) {
                cut(*link);
            }
            return;
        }
        forwarded += static_cast<std::size_t>(w);
        p.queued -= static_cast<std::size_t>(w);
        data.erase(0, static_cast<std::size_t>(w));
        cv.notify_all();
        if (trickleMs > 0 && waitUntil(Clock::now() + std::chrono::milliseconds(trickleMs))) {
            return;
        }
    }
}

TcpProxy::TcpProxy(int targetPort, Options options) : impl_(std::make_unique<Impl>()) {
    impl_->target = targetPort;
    impl_->options = std::move(options);
    impl_->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (impl_->listener < 0 ||
        ::bind(impl_->listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(impl_->listener, 64) != 0 ||
        ::getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("tcp proxy: cannot listen on 127.0.0.1");
    }
    impl_->port = ntohs(addr.sin_port);
    impl_->acceptor = std::thread([this] { impl_->acceptLoop(); });
}

TcpProxy::~TcpProxy() {
    {
        std::lock_guard lock(impl_->m);
        impl_->stopping = true;
        for (const auto& weak : impl_->links) {
            if (auto link = weak.lock()) {
                impl_->cut(*link);
            }
        }
        impl_->cv.notify_all();
    }
    ::shutdown(impl_->listener, SHUT_RDWR);  // wakes accept()
    impl_->acceptor.join();
    for (std::thread& t : impl_->threads) {
        t.join();
    }
    ::close(impl_->listener);
}

int TcpProxy::port() const {
    return impl_->port;
}

void TcpProxy::queueFaults(std::vector<Fault> faults) {
    std::lock_guard lock(impl_->m);
    impl_->queuedFaults.push_back(std::move(faults));
}

void TcpProxy::addRewrite(std::string prefix, std::string replacement) {
    std::lock_guard lock(impl_->m);
    impl_->rules.emplace_back(std::move(prefix), std::move(replacement));
}

TcpProxy::Counters TcpProxy::counters() const {
    std::lock_guard lock(impl_->m);
    return impl_->counters;
}

std::vector<int> TcpProxy::faultedConnections() const {
    std::lock_guard lock(impl_->m);
    return impl_->faulted;
}

}  // namespace vorel::test
