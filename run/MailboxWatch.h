#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/MailComponent.h"
#include "run/AccountLogin.h"
#include "run/WatchPace.h"
#include "store/Settings.h"

namespace vorel {

// The watch on a mailbox that `vorel watch` and the tray share: a connection
// signed in as the folder's runs are, held in IDLE and told of new mail as
// it comes, IDLE re-issued every 25 minutes, a lost connection tried again
// after the pause WatchPace sets. setup.ini is read again before each
// connection. What new mail starts, and what happens where the mailbox
// cannot tell of it (POP3, a server without IDLE), is the front end's.
class MailboxWatch {
public:
    // `timeout`: how long the server may keep the watching connection
    // waiting for a reply; `firstPause`: the first pause after a failure.
    MailboxWatch(std::string folder, int timeout, std::chrono::seconds firstPause);
    virtual ~MailboxWatch() = default;
    MailboxWatch(const MailboxWatch&) = delete;
    MailboxWatch& operator=(const MailboxWatch&) = delete;

    // Watches until stopRequested(), or until unwatched() ends it.
    void run();

    // Re-issued well inside the 30 minutes after which servers may drop an
    // idle client (RFC 2177).
    static constexpr int kIdleSeconds = 25 * 60;

protected:
    virtual bool stopRequested() const = 0;
    // A new component for a watching connection to the mailbox of
    // `settings`; none where the mailbox is not one that IDLE can watch.
    virtual std::unique_ptr<MailComponent> watchingConnection(const Settings& settings) = 0;
    // Where a connection finds its secrets (asked before each connection).
    virtual SignInServices signInServices() = 0;
    // Just connected, or a POP3 mailbox looked at again: whatever came while
    // nobody watched.
    virtual void catchUp() {}
    // The mailbox cannot tell of new mail: false ends the watch, true looks
    // again (after a pause of the front end's).
    virtual bool unwatched() = 0;
    // IDLE holds (true), or it was lost or the watch ends (false).
    virtual void watching(bool on) { (void)on; }
    // IDLE told of new mail; `pace` spaces the runs it starts.
    virtual void newMail(WatchPace& pace) = 0;
    // The connection failed or was lost; the next one comes after `pause`.
    virtual void failed(const std::string& why, std::chrono::seconds pause) {
        (void)why;
        (void)pause;
    }

    // Sleeps in short slices, so that a stop is seen at once; false when
    // stopped.
    bool pause(std::chrono::milliseconds length) const;
    bool pauseUntil(WatchPace::Clock::time_point at) const;

    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    int timeout_;
    WatchPace pace_;
};

}  // namespace vorel
