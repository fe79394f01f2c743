#pragma once

#include <string>

namespace vorel {

// The auto-run countdown of Timer1, one call of tick() per second. Outside
// the tray the count neither advances nor resets, so leaving the tray and
// entering it again resumes where it stopped.
class Countdown {
public:
    struct Tick {
        std::string menuCaption;  // mnuSeconds
        std::string status;       // lblStatus; empty: leave it as it is
        bool startRun = false;    // stop Timer1, run, start Timer1 again
    };

    void setInterval(long seconds) { interval_ = seconds; }
    long interval() const { return interval_; }
    long count() const { return count_; }

    Tick tick(bool trayMode);
    // A run started by new mail: the full interval again until the next.
    void restart() { count_ = 0; }
    // mnuSeconds in the tray before the next tick: "Vorel Running in n Seconds".
    std::string caption() const;
    // The same while the mailbox is watched for new mail.
    static std::string watchingCaption(const std::string& caption);

private:
    long interval_ = 0;
    long count_ = 0;
};

}  // namespace vorel
