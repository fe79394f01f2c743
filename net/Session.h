#pragma once

#include <curl/curl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "net/CurlMailComponent.h"
#include "net/ServerAddress.h"

namespace vorel {

// One connection of the component, POP3 or SMTP, after libcurl has opened it
// and logged in: the commands are written and the replies read here, with
// the transcript, the time-out and the wait handler of the component.
// How often a wait on a server looks up from the socket.
constexpr long long kWaitSliceMs = 100;

struct CurlMailComponent::Session {
    CURL* curl = nullptr;
    CURLM* multi =
        nullptr;  // drives the connect and login, so that they can be waited on in slices
    curl_socket_t fd = CURL_SOCKET_BAD;
    ServerAddress address;
    std::string in;      // received and not yet consumed from inPos on
    std::string outbox;  // commands that go out with the next write
    std::size_t inPos = 0;
    bool connecting = true;
    bool startTlsSent = false;
    bool pipelining = false;
    bool smtputf8 = false;  // EHLO offered SMTPUTF8 (RFC 6531)
    // EHLO offered 8BITMIME (RFC 6152).
    bool eightBitMime = false;
    bool chunking = false;  // EHLO offered CHUNKING (RFC 3030): BDAT
    // What libcurl's part of the dialogue showed of a POP3 server: its
    // greeting (with an APOP timestamp or not) and its last CAPA list.
    std::string greeting;
    std::vector<std::string> capabilities;
    bool inCapa = false;
    bool broken = false;
    // The server's last line, for the words of a refused login.
    mutable std::string lastReceived;
    const TranscriptHandler* transcript = nullptr;
    const bool* transcriptOn = nullptr;
    const int* timeout = nullptr;
    const WaitHandler* wait = nullptr;
    char error[CURL_ERROR_SIZE] = {};

    ~Session() { abandon(); }

    // Closes the connection without a QUIT: a POP3 QUIT would commit
    // deletions made in a session we can no longer vouch for, and libcurl
    // says QUIT on cleanup unless the socket is already shut.
    void abandon() {
        if (curl == nullptr) {
            return;
        }
        if (fd != CURL_SOCKET_BAD) {
            ::shutdown(fd, SHUT_RDWR);
        }
        if (multi != nullptr) {
            curl_multi_remove_handle(multi, curl);
        }
        curl_easy_cleanup(curl);
        curl = nullptr;
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
            multi = nullptr;
        }
    }

    void emit(std::string_view line, TranscriptDirection direction) const {
        if (direction == TranscriptDirection::Received) {
            lastReceived = std::string(line.substr(0, line.find_last_not_of("\r\n") + 1));
        }
        if (*transcriptOn && *transcript) {
            try {
                (*transcript)(std::string(line), direction);
            } catch (...) {
                // A failing log must not end the session.
            }
        }
    }

    [[noreturn]] void lost(const std::string& why) {
        broken = true;
        abandon();
        throw MailError(mailcode::kNotConnected, address.host + ": " + why);
    }

    void waited() const {
        if (*wait) {
            try {
                (*wait)();
            } catch (...) {
                // Whoever waits with us cannot end the command.
            }
        }
    }

    // Waits in short slices, telling the wait handler between them.
    void waitFor(short events) {
        using std::chrono::steady_clock;
        const auto deadline = steady_clock::now() + std::chrono::seconds(*timeout);
        pollfd p{fd, events, 0};
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - steady_clock::now());
            if (left.count() <= 0) {
                lost("no answer within " + std::to_string(*timeout) + " seconds");
            }
            const int r =
                ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), kWaitSliceMs)));
            if (r > 0) {
                return;
            }
            if (r < 0 && errno != EINTR) {
                lost(std::string("poll: ") + std::strerror(errno));
            }
            waited();
        }
    }

    // libcurl connects, negotiates TLS and logs in; the wait handler is told
    // between slices as while any other reply is awaited.
    CURLcode connectAndLogIn() {
        multi = curl_multi_init();
        if (multi == nullptr || curl_multi_add_handle(multi, curl) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        while (true) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                return CURLE_FAILED_INIT;
            }
            if (running == 0) {
                int left = 0;
                while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
                    if (m->msg == CURLMSG_DONE) {
                        return m->data.result;
                    }
                }
                return CURLE_FAILED_INIT;
            }
            if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(kWaitSliceMs), nullptr) !=
                CURLM_OK) {
                return CURLE_FAILED_INIT;
            }
            waited();
        }
    }

    // Everything in as few writes as the connection takes.
    void sendAll(std::string_view data) {
        while (!data.empty()) {
            size_t n = 0;
            const CURLcode rc = curl_easy_send(curl, data.data(), data.size(), &n);
            if (rc == CURLE_AGAIN) {
                waitFor(POLLOUT);
                continue;
            }
            if (rc != CURLE_OK) {
                lost(curl_easy_strerror(rc));
            }
            data.remove_prefix(n);
        }
    }

    // Sends the lines after any held back in the outbox, in one write.
    void sendLines(const std::string& lines) {
        std::string all = std::move(outbox);
        outbox.clear();
        all += lines;
        std::size_t pos = 0;
        while (pos < all.size()) {
            const std::size_t end = all.find('\n', pos);
            const std::size_t stop = end == std::string::npos ? all.size() : end + 1;
            emit(std::string_view(all).substr(pos, stop - pos), TranscriptDirection::Sent);
            pos = stop;
        }
        sendAll(all);
    }

    // The next line, LF included; valid until the next call. A line longer
    // than `limit` or a closed connection ends the session.
    std::string_view readLine(std::size_t limit) {
        if (inPos > (1u << 16) && inPos * 2 > in.size()) {
            in.erase(0, inPos);
            inPos = 0;
        }
        std::size_t scanned = inPos;
        while (true) {
            const std::size_t nl = in.find('\n', scanned);
            if (nl != std::string::npos) {
                std::string_view line(in.data() + inPos, nl + 1 - inPos);
                inPos = nl + 1;
                return line;
            }
            scanned = in.size();
            if (in.size() - inPos > limit) {
                lost("reply line too long");
            }
            char buffer[64 * 1024];
            size_t n = 0;
            const CURLcode rc = curl_easy_recv(curl, buffer, sizeof buffer, &n);
            if (rc == CURLE_AGAIN) {
                waitFor(POLLIN);
                continue;
            }
            if (rc != CURLE_OK) {
                lost(curl_easy_strerror(rc));
            }
            if (n == 0) {
                lost("the server closed the connection");
            }
            in.append(buffer, n);
        }
    }

    // A multi-line POP3 reply after its status line: dot-unstuffed, the
    // final "." line dropped. `expected` (a message's size from LIST) is
    // reserved up front: growing a large message by doubling would touch
    // up to three times its size. (A server's word only up to 1 GB.)
    std::string readMultiline(std::size_t limit, std::size_t expected = 0) {
        std::string body;
        body.reserve(std::min({expected, limit, std::size_t{1} << 30}));
        while (true) {
            std::string_view line = readLine(limit);
            if (line == ".\r\n" || line == ".\n") {
                return body;
            }
            if (line[0] == '.') {
                line.remove_prefix(1);
            }
            if (body.size() + line.size() > limit) {
                lost("reply larger than the message");
            }
            body.append(line);
        }
    }

    // A POP3 status line, into the transcript: true for +OK, false for -ERR;
    // anything else ends the session.
    bool readStatus(std::string& status) {
        status = std::string(readLine(1u << 16));
        emit(status, TranscriptDirection::Received);
        if (status.rfind("+OK", 0) == 0) {
            return true;
        }
        if (status.rfind("-ERR", 0) != 0) {
            lost("not a POP3 reply: " + status.substr(0, 80));
        }
        return false;
    }

    // An SMTP reply: its code, every line in the transcript.
    int readReply(std::string* text) {
        while (true) {
            const std::string_view line = readLine(1u << 16);
            emit(line, TranscriptDirection::Received);
            if (line.size() < 4 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
                !std::isdigit(static_cast<unsigned char>(line[1])) ||
                !std::isdigit(static_cast<unsigned char>(line[2]))) {
                lost("not an SMTP reply: " + std::string(line.substr(0, 80)));
            }
            if (line[3] != '-') {
                if (text != nullptr) {
                    *text = std::string(line);
                }
                return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
            }
        }
    }
};

}  // namespace vorel
