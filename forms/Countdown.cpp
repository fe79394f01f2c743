#include "forms/Countdown.h"

namespace vorel {

Countdown::Tick Countdown::tick(bool trayMode) {
    Tick t;
    if (!trayMode) {
        t.status = "Vorel Will Autorun when Running in the Tray";
        t.menuCaption = "Vorel will Autorun when running in the tray";
        return t;
    }
    // An interval lowered below the count already reached would otherwise
    // never be met again: the run then starts on this tick.
    if (interval_ > 0 && count_ >= interval_) {
        count_ = interval_ - 1;
    }
    t.menuCaption = caption();
    ++count_;
    if (count_ == interval_) {
        count_ = 0;
        t.startRun = true;
    }
    return t;
}

std::string Countdown::caption() const {
    return "Vorel Running in " + std::to_string(interval_ - count_) + " Seconds";
}

std::string Countdown::watchingCaption(const std::string& caption) {
    // The interval still bounds the time between runs.
    return "Vorel watching for new mail (" + caption + ")";
}

}  // namespace vorel
