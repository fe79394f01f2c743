#pragma once

#include <QObject>
#include <atomic>
#include <string>
#include <thread>

#include "store/Settings.h"

namespace vorel {

// While the auto-run is on, watches an IMAP mailbox with IDLE on a worker
// thread, so that new mail starts a run within seconds rather than at the
// end of the countdown. POP3, a server without IDLE and a lost connection
// leave the countdown as the only way; a lost connection is tried again.
class MailWatcher : public QObject {
    Q_OBJECT

public:
    explicit MailWatcher(std::string folder, QObject* parent = nullptr);
    ~MailWatcher() override;
    MailWatcher(const MailWatcher&) = delete;
    MailWatcher& operator=(const MailWatcher&) = delete;

    // Starts watching when the folder's mailbox is IMAP; nothing otherwise.
    void start();
    void stop();
    // IDLE is on: the server tells of new mail as it comes.
    bool watching() const { return watching_; }

    // The slices in which the worker looks for a stop (tests shorten the
    // pause before a reconnection).
    static void setRetrySeconds(int seconds);

Q_SIGNALS:
    void newMail();
    void watchingChanged(bool on);

private:
    class Watch;
    void loop();
    void report(bool on);

    std::string folder_;
    std::atomic<bool> stop_{false};
    bool watching_ = false;  // the window thread's view
    std::thread thread_;
};

}  // namespace vorel
