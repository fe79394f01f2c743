#include "run/MailboxWatch.h"

#include <exception>
#include <optional>
#include <thread>
#include <utility>

namespace vorel {

MailboxWatch::MailboxWatch(std::string folder, int timeout, std::chrono::seconds firstPause)
    : folder_(std::move(folder)), timeout_(timeout), pace_(firstPause) {}

void MailboxWatch::run() {
    const auto stop = [this] { return stopRequested(); };
    while (!stopRequested()) {
        Settings s;
        readSettingsLines(folder_, s);
        std::unique_ptr<MailComponent> mail = watchingConnection(s);
        if (!mail) {
            catchUp();
            if (!unwatched()) {
                break;
            }
            continue;
        }
        std::optional<WatchPace::Clock::time_point> idleSince;
        try {
            mail->setTimeout(timeout_);
            connectSignedIn(*mail, folder_, s, signInServices());
            catchUp();
            if (!mail->idleOffered()) {
                mail->disconnect();
                if (!unwatched()) {
                    break;
                }
                continue;
            }
            watching(true);
            while (!stopRequested()) {
                idleSince = WatchPace::Clock::now();
                const bool arrived = mail->waitForNewMail(kIdleSeconds, stop);
                pace_.idleLasted(WatchPace::Clock::now() - *idleSince);
                idleSince.reset();
                if (arrived && !stopRequested()) {
                    // Mail that comes meanwhile is told by the next IDLE.
                    newMail(pace_);
                }
            }
            mail->disconnect();
        } catch (const std::exception& e) {
            // Later each time, until an IDLE holds.
            if (idleSince) {
                pace_.idleLasted(WatchPace::Clock::now() - *idleSince);
            }
            watching(false);
            const std::chrono::seconds wait = pace_.afterFailure();
            failed(e.what(), wait);
            pause(wait);
        }
    }
    watching(false);
}

bool MailboxWatch::pause(std::chrono::milliseconds length) const {
    const auto end = std::chrono::steady_clock::now() + length;
    while (!stopRequested()) {
        if (std::chrono::steady_clock::now() >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool MailboxWatch::pauseUntil(WatchPace::Clock::time_point at) const {
    const auto now = WatchPace::Clock::now();
    return at <= now || pause(std::chrono::ceil<std::chrono::milliseconds>(at - now));
}

}  // namespace vorel
