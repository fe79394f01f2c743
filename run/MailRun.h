#pragma once

#include <string>

namespace vorel {

class Clock;
class MailComponent;
class RunHost;
struct RunState;
class Reporter;

// One mail run in an application folder, with up to 10 tries.
class MailRun {
public:
    MailRun(std::string folder, RunHost& host, MailComponent& mail, const Clock& clock);

    // The whole run. Returns true when it ended (complete or cancelled), false
    // when every try failed.
    bool doRunMail();
    // Sets cancel requested; the run finishes the item at hand.
    void requestCancel();
    // The user ticked or cleared "Debug Mode" during the run.
    void debugBoxClicked(bool ticked);

    const RunState& state() const;
    Reporter& reporter();
    ~MailRun();

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace vorel
