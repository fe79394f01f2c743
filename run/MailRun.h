#pragma once

#include <string>

namespace vorel {

class Clock;
class MailComponent;
class RunHost;
struct RunState;
class Reporter;
class DialUp;

// One mail run in an application folder, with up to 10 tries.
class MailRun {
public:
    // host, mail and clock must outlive the run; the run sets the component's
    // transcript and notice handlers and clears them when it is destroyed.
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
    // The dial-up connection the run uses (nmcli when present); tests replace it.
    DialUp& dialUp();
    ~MailRun();
    MailRun(const MailRun&) = delete;
    MailRun& operator=(const MailRun&) = delete;

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace vorel
