#pragma once

#include <memory>
#include <string>

namespace vorel {

class Clock;
class MailComponent;
class RunHost;
struct RunState;
class DialUp;
struct SignInServices;

// The header of the current message as the run reads it: after fetchHeader,
// "(No Subject)", "(No To)", "(No From)" for missing fields and a tidied To;
// after the unreadable-header check, From and To reduced to bare addresses.
void fillHeaderDefaults(MailComponent& mail);
void reduceToAddresses(MailComponent& mail);

// One mail run in an application folder, with up to 10 tries.
class MailRun {
public:
    // host, mail and clock must outlive the run; the run sets the component's
    // transcript, notice and wait handlers and clears them when it is
    // destroyed. The user's requests (stop, debug mode) reach the run only
    // through RunHost::yield, so the run may live on a thread of its own.
    MailRun(std::string folder, RunHost& host, MailComponent& mail, const Clock& clock);

    // The whole run. Returns true when it ended (complete or cancelled), false
    // when every try failed or another run holds the folder (then
    // state().alreadyRunning is set and nothing was touched).
    bool doRunMail();

    const RunState& state() const;
    // Where the run finds secrets besides the application folder (the
    // keyring) and the token endpoint of an OAuth2 sign-in. Without them a
    // run signs in with setup.ini, the password command and the secrets file.
    void setSignInServices(const SignInServices& services);
    // The dial-up connection the run uses (nmcli when present); tests replace it.
    DialUp& dialUp();
    ~MailRun();
    MailRun(const MailRun&) = delete;
    MailRun& operator=(const MailRun&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorel
