#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/MailComponent.h"
#include "forms/Outcome.h"
#include "store/Settings.h"

namespace vorel {

// "Test connection" of the settings window: logs in to the POP3 server and
// greets the SMTP server (with AUTH when ESMTP is ticked) as a run would,
// then disconnects. Nothing is fetched, deleted, sent or written. The
// message is one line saying what worked, with the run's error texts for what
// did not; ok when nothing failed. With a login, the secret (password or
// OAuth2 token) is the run's.
class AccountLogin;
Outcome checkConnection(const Settings& settings, MailComponent& mail,
                        AccountLogin* login = nullptr);

// Threads that answer a window later (the connection test). The window may
// close before the servers answer, so its threads belong to this one list,
// which the end of the program joins: no thread still uses a mail component
// or hands its answer to an application object that is gone.
class BackgroundWork {
public:
    static BackgroundWork& instance();
    ~BackgroundWork() { joinAll(); }

    // Runs `work` on a thread of its own; threads finished by now are joined.
    void start(std::function<void()> work);
    // Waits for every thread started so far.
    void joinAll();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::mutex mutex_;
    std::vector<Worker> workers_;
};

}  // namespace vorel
