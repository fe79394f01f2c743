#include "gui/MailWatcher.h"

#include <QMetaObject>
#include <chrono>
#include <optional>
#include <utility>

#include "gui/Keyring.h"
#include "net/CurlMailComponent.h"
#include "net/OAuth2.h"
#include "net/ServerAddress.h"
#include "run/WatchPace.h"

namespace vorel {

namespace {

// Re-issued well inside the 30 minutes after which servers may drop an
// idle client (RFC 2177).
constexpr int kIdleSeconds = 25 * 60;
std::atomic<int> gFirstRetrySeconds{5};

}  // namespace

MailWatcher::MailWatcher(std::string folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {}

MailWatcher::~MailWatcher() {
    stop();
}

void MailWatcher::setRetrySeconds(int seconds) {
    gFirstRetrySeconds = seconds;
}

void MailWatcher::start() {
    if (thread_.joinable()) {
        return;
    }
    Settings s;
    readSettingsLines(folder_, s);
    if (!isImapAddress(s.txtPOP)) {
        return;
    }
    stop_ = false;
    thread_ = std::thread([this] { loop(); });
}

void MailWatcher::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (watching_) {
        watching_ = false;
        Q_EMIT watchingChanged(false);
    }
}

bool MailWatcher::pause(int seconds) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop_) {
        if (std::chrono::steady_clock::now() >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// Told to the window thread; a watcher destroyed first drops the event.
void MailWatcher::report(bool on) {
    QMetaObject::invokeMethod(
        this,
        [this, on] {
            if (watching_ != on && !stop_) {
                watching_ = on;
                Q_EMIT watchingChanged(on);
            }
        },
        Qt::QueuedConnection);
}

void MailWatcher::loop() {
    WatchPace pace{std::chrono::seconds(gFirstRetrySeconds)};
    while (!stop_) {
        Settings s;
        readSettingsLines(folder_, s);
        if (!isImapAddress(s.txtPOP)) {
            break;
        }
        std::optional<WatchPace::Clock::time_point> idleSince;
        try {
            CurlMailComponent watcher;
            watcher.setTimeout(30);
            CurlTokenService tokens;
            KeyringSecretStore keyring(folder_);
            connectSignedIn(watcher, folder_, s,
                            {KeyringSecretStore::reachable() ? &keyring : nullptr, &tokens});
            if (!watcher.idleOffered()) {
                watcher.disconnect();
                break;  // the countdown alone, as with POP3
            }
            report(true);
            while (!stop_) {
                idleSince = WatchPace::Clock::now();
                const bool arrived =
                    watcher.waitForNewMail(kIdleSeconds, [this] { return stop_.load(); });
                pace.idleLasted(WatchPace::Clock::now() - *idleSince);
                idleSince.reset();
                if (arrived && !stop_) {
                    QMetaObject::invokeMethod(
                        this, [this] { Q_EMIT newMail(); }, Qt::QueuedConnection);
                }
            }
            watcher.disconnect();
        } catch (const std::exception&) {
            // The runs report what is wrong with the mailbox; the watcher
            // only tries again later, later each time until an IDLE holds.
            if (idleSince) {
                pace.idleLasted(WatchPace::Clock::now() - *idleSince);
            }
            report(false);
            pause(static_cast<int>(pace.afterFailure().count()));
        }
    }
    report(false);
}

}  // namespace vorel
