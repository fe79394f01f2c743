#include "support/TcpProxy.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/TestServers.h"

namespace vorel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr std::size_t kBufferCap = 256 * 1024;  // per direction; beyond it reading waits

}  // namespace

// One thread per direction of each connection reads what comes and forwards
// it when due. The mutex guards what the threads share.
struct TcpProxy::Impl {
    struct Link {
        int number = 0, client = -1, server = -1;
        std::vector<Fault> faults[2];  // to the server, to the client
        std::atomic<bool> cut = false;
        ~Link() {
            ::close(client);
            ::close(server);
        }
    };

    int target = 0, listener = -1, port = 0;
    Options options;
    mutable std::mutex m;
    bool stopping = false;
    std::deque<std::vector<Fault>> queuedFaults;
    std::vector<std::pair<std::string, std::string>> rules;
    Counters counters;
    std::vector<int> faulted;
    std::vector<std::weak_ptr<Link>> links;
    std::thread acceptor;
    std::vector<std::thread> threads;

    void cut(Link& l) {
        l.cut = true;
        ::shutdown(l.client, SHUT_RDWR);
        ::shutdown(l.server, SHUT_RDWR);
    }
    void count(const Link& l, int Counters::*field) {
        std::lock_guard lock(m);
        ++(counters.*field);
        if (std::find(faulted.begin(), faulted.end(), l.number) == faulted.end()) {
            faulted.push_back(l.number);
        }
    }
    void acceptLoop();
    void pump(std::shared_ptr<Link> link, bool up);
    std::string rewrite(int connection, const std::string& line);  // m held
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
        const sockaddr_in to = loopbackAddress(target);
        if (::connect(link->server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            continue;
        }
        for (int fd : {client, link->server}) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
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
        for (const Fault& f : faults) {
            link->faults[f.direction == Direction::ToServer ? 0 : 1].push_back(f);
        }
        std::lock_guard lock(m);
        if (stopping) {
            return;
        }
        links.push_back(link);
        threads.emplace_back(&Impl::pump, this, link, true);
        threads.emplace_back(&Impl::pump, this, link, false);
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

void TcpProxy::Impl::pump(std::shared_ptr<Link> link, bool up) {
    const int from = up ? link->client : link->server, to = up ? link->server : link->client;
    const std::vector<Fault>& faults = link->faults[up ? 0 : 1];
    std::deque<std::pair<Clock::time_point, std::string>> queue;  // stamped when due
    std::string partial;  // client bytes go by whole lines while rewriting
    std::size_t queued = 0, forwarded = 0, next = 0;
    bool ended = false;
    int trickleMs = 0;
    Clock::time_point paused{};  // nothing goes out before
    while (!link->cut) {
        for (; next < faults.size() && faults[next].afterBytes <= forwarded; ++next) {
            const Fault& f = faults[next];
            if (f.kind == Fault::Kind::Cut) {
                count(*link, &Counters::cuts);
                return cut(*link);
            }
            if (f.kind == Fault::Kind::Stall) {
                count(*link, &Counters::stalls);
                paused = Clock::now() + std::chrono::milliseconds(f.ms);
            } else {
                count(*link, &Counters::trickles);
                trickleMs = std::max(1, f.ms);
            }
        }
        if (ended && queue.empty()) {
            ::shutdown(to, SHUT_WR);
            return;
        }
        const auto now = Clock::now();
        const auto due = queue.empty() ? now + 1s : std::max(queue.front().first, paused);
        if (due <= now) {
            std::string& data = queue.front().second;
            std::size_t n = trickleMs > 0 ? 1 : data.size();
            if (next < faults.size()) {
                n = std::min(n, faults[next].afterBytes - forwarded);
            }
            const ssize_t w = ::send(to, data.data(), n, MSG_NOSIGNAL);
            if (w <= 0) {
                return cut(*link);
            }
            forwarded += static_cast<std::size_t>(w);
            queued -= static_cast<std::size_t>(w);
            data.erase(0, static_cast<std::size_t>(w));
            if (data.empty()) {
                queue.pop_front();
            }
            if (trickleMs > 0) {
                paused = Clock::now() + std::chrono::milliseconds(trickleMs);
            }
            continue;
        }
        // Wait for bytes (unless the source ended or enough is held) or until due.
        pollfd p{ended || queued >= kBufferCap ? -1 : from, POLLIN, 0};
        ::poll(&p, 1,
               static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count()));
        if (p.revents == 0) {
            continue;
        }
        char buffer[16384];
        const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return cut(*link);  // a reset passes on as a cut of the other side
        }
        partial.append(buffer, static_cast<std::size_t>(n));
        ended = n == 0;
        std::lock_guard lock(m);
        auto push = [&](std::string data) {
            queued += data.size();
            if (!data.empty()) {
                queue.emplace_back(Clock::now() + std::chrono::milliseconds(options.delayMs),
                                   std::move(data));
            }
        };
        const bool rewriting = up && (options.rewriteLine || !rules.empty());
        std::size_t start = 0;
        for (std::size_t lf = 0; rewriting && (lf = partial.find('\n', start)) != std::string::npos;
             start = lf + 1) {
            push(rewrite(link->number, partial.substr(start, lf + 1 - start)));
        }
        partial.erase(0, start);
        if (!rewriting || ended) {
            push(std::exchange(partial, {}));
        }
    }
}

TcpProxy::TcpProxy(int targetPort, Options options) : impl_(std::make_unique<Impl>()) {
    impl_->target = targetPort;
    impl_->options = std::move(options);
    impl_->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopbackAddress(0);
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
