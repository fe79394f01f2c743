#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/AntiSpam.h"
#include "store/Database.h"
#include "store/Settings.h"

namespace vorel {

class Clock;
class MailComponent;
class Reporter;
class RunHost;
class RunLogin;
class MailError;

struct RunCounters {
    std::int32_t antiSpam = 0;
    std::int32_t processed = 0;
    std::int32_t autoresponders = 0;
    std::int32_t subscriptions = 0;
    std::int32_t unsubscriptions = 0;
    std::int32_t confirmations = 0;      // subscribe requests asked to confirm (not printed)
    std::int32_t requestsLeft = 0;       // subscribe requests left for the next run (not printed)
    std::int32_t postConfirmations = 0;  // members asked to confirm a post (not printed)
};

// What a run holds while it goes on. Counters and the cancel flag are cleared
// once per run; the rest is set again by every try.
struct RunState {
    RunCounters counters;
    bool cancelRequested = false;
    // The SMTP connection's messages and whether it is open (run/SmtpLink.h).
    int messagesOnConnection = 0;
    int movedToFailed = 0;  // records the server refused for good, this run
    bool smtpConnected = false;
    bool dialUp = false;
    std::vector<AntiSpamEntry> antiSpam;
    Settings settings;  // setup.ini as read by the current try
    std::string timeout = "30";
    std::optional<Database> db;
    // The rows of autoresponders and mailling as the try read them, shared by
    // every message of the try (the run's record sets), loaded by the driver
    // when it opens the database; message handling requires them.
    std::optional<std::vector<Autoresponder>> autoresponderRows;
    std::optional<std::vector<MailingList>> listRows;
    // Set when the sending step carried records over (cancel or error), so the
    // message files they may name are kept.
    bool carriedOver = false;
    // data.mdb stayed locked by another program: no further message is
    // handled in this run, and the notes of sent records are left alone.
    bool databaseLocked = false;
    // The folder's key for list copies' tags (mail/CopyProof.h), read when
    // first needed; empty when there is none to be had.
    std::optional<std::string> copyKey;
    // The last doRunMail found another run going on in the folder and did nothing.
    bool alreadyRunning = false;
    // The last doRunMail found no setup.ini: said once, no try repeated.
    bool notSetUp = false;
    // The run's login (password or OAuth2 token); none where the caller
    // gave none: then line 4 of setup.ini is the password.
    RunLogin* login = nullptr;
    // The run cannot sign in (an expired sign-in, no secret): it ended
    // after the try at hand.
    bool signInStopped = false;
    // The token endpoint did not answer: the run ended after the try at
    // hand, to be tried again by the next run.
    bool signInUnreachable = false;
};

// Everything the handling of one message and one send needs.
struct RunContext {
    std::string folder;
    RunState& state;
    Reporter& report;
    MailComponent& mail;
    const Clock& clock;
    RunHost& host;

    // A yield point of the run: the host may handle its events, and what the
    // user asked meanwhile takes effect here, on the run's own thread (a stop
    // sets cancel requested; the debug box switches the transcript).
    void yield();
};

// After a login refused with an OAuth2 token: a fresh token in
// settings.txtPASSWORD, once per run. False when the caller should take the
// refusal as it is; an expired sign-in is logged and stops the run.
bool retryWithFreshToken(RunContext& ctx, const MailError& refusal);
// A refused login whose server said the provider takes no passwords: the
// server's line and what to do instead, logged after the run's own line.
void explainPasswordRefusal(RunContext& ctx, const std::exception& failure);

// Support address of the "Error Processing " line and the product's web
// address of the X-Mailer line.
inline constexpr char kSupportAddress[] = "support@vorel.example";
inline constexpr char kProductWebAddress[] = "http://www.vorel.example";

}  // namespace vorel
