#include "support/TcpProxy.h"

#include <netinet/in.h>
// Not <netinet/tcp.h>: its tcp_info lacks the kernel's segment counts.
#include <linux/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "support/TestServers.h"

namespace vorel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr std::size_t kBufferCap = 256 * 1024;  // per direction; beyond it reading waits

}  // namespace

struct TcpProxy::Link {
    int number = 0, client = -1, server = -1;
    std::vector<Fault> faults[2];  // to the server, to the client
    std::atomic<bool> cut = false;
    std::atomic<Clock::rep> lastActive = Clock::now().time_since_epoch().count();
    void active() { lastActive = Clock::now().time_since_epoch().count(); }
    void cutNow() {
        cut = true;
        ::shutdown(client, SHUT_RDWR);
        ::shutdown(server, SHUT_RDWR);
    }
    ~Link() {
        ::close(client);
        ::close(server);
    }
};

void TcpProxy::count(const Link& l, int Counters::*field) {
    std::lock_guard lock(m_);
    ++(counters_.*field);
    if (std::find(faulted_.begin(), faulted_.end(), l.number) == faulted_.end()) {
        faulted_.push_back(l.number);
    }
}

void TcpProxy::acceptLoop() {
    for (;;) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // shut down by the destructor
        }
        auto link = std::make_shared<Link>();
        link->client = client;
        link->server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = loopbackAddress(target_);
        if (::connect(link->server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            continue;
        }
        for (int fd : {client, link->server}) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        std::vector<Fault> faults;
        {
            std::lock_guard lock(m_);
            link->number = ++counters_.connections;
            if (!queuedFaults_.empty()) {
                faults = std::move(queuedFaults_.front());
                queuedFaults_.pop_front();
            }
        }
        if (faults.empty() && options_.faultsFor) {
            faults = options_.faultsFor(link->number);
        }
        for (const Fault& f : faults) {
            link->faults[f.direction == Direction::ToServer ? 0 : 1].push_back(f);
        }
        std::lock_guard lock(m_);
        if (stopping_) {
            return;
        }
        links_.push_back(link);
        threads_.emplace_back(&TcpProxy::pump, this, link, true);
        threads_.emplace_back(&TcpProxy::pump, this, link, false);
    }
}

std::string TcpProxy::rewrite(int connection, const std::string& line) {
    if (options_.rewriteLine) {
        if (auto replaced = options_.rewriteLine(connection, line)) {
            ++counters_.rewrites;
            return *replaced;
        }
    }
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (::strncasecmp(line.c_str(), it->first.c_str(), it->first.size()) == 0) {
            std::string out = it->second + "\r\n";
            rules_.erase(it);
            ++counters_.rewrites;
            return out;
        }
    }
    return line;
}

void TcpProxy::pump(std::shared_ptr<Link> link, bool up) {
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
                return link->cutNow();
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
        if (options_.cutWhenQuietMs > 0 &&
            now - Clock::time_point(Clock::duration(link->lastActive.load())) >=
                std::chrono::milliseconds(options_.cutWhenQuietMs)) {
            count(*link, &Counters::cuts);
            return link->cutNow();
        }
        const auto due = queue.empty() ? now + (options_.cutWhenQuietMs > 0 ? 50ms : 1s)
                                       : std::max(queue.front().first, paused);
        if (due <= now) {
            std::string& data = queue.front().second;
            std::size_t n = trickleMs > 0 ? 1 : data.size();
            if (next < faults.size()) {
                n = std::min(n, faults[next].afterBytes - forwarded);
            }
            const ssize_t w = ::send(to, data.data(), n, MSG_NOSIGNAL);
            if (w <= 0) {
                return link->cutNow();
            }
            forwarded += static_cast<std::size_t>(w);
            link->active();
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
            return link->cutNow();  // a reset passes on as a cut of the other side
        }
        partial.append(buffer, static_cast<std::size_t>(n));
        ended = n == 0;
        std::lock_guard lock(m_);
        auto push = [&](std::string data) {
            queued += data.size();
            if (!data.empty()) {
                queue.emplace_back(Clock::now() + std::chrono::milliseconds(options_.delayMs),
                                   std::move(data));
            }
        };
        const bool rewriting = up && (options_.rewriteLine || !rules_.empty());
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

TcpProxy::TcpProxy(int targetPort, Options options)
    : target_(targetPort), options_(std::move(options)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopbackAddress(0);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("tcp proxy: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

long TcpProxy::clientSegments() const {
    std::lock_guard lock(m_);
    long segments = 0;
    for (const auto& weak : links_) {
        if (auto link = weak.lock()) {
            tcp_info info{};
            socklen_t size = sizeof info;
            if (::getsockopt(link->client, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
                segments += info.tcpi_data_segs_in;
            }
        }
    }
    return segments;
}

TcpProxy::~TcpProxy() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
        for (const auto& weak : links_) {
            if (auto link = weak.lock()) {
                link->cutNow();
            }
        }
    }
    ::shutdown(listener_, SHUT_RDWR);  // wakes accept()
    acceptor_.join();
    for (std::thread& t : threads_) {
        t.join();
    }
    ::close(listener_);
}

}  // namespace vorel::test
