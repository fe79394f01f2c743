#include "run/MailRun.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/Clock.h"
#include "base/Idn.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "core/SignIn.h"
#include "mail/Address.h"
#include "mail/MessageRules.h"
#include "mail/Processing.h"
#include "mail/Subscriptions.h"
#include "run/AccountLogin.h"
#include "run/DialUp.h"
#include "run/SendStep.h"
#include "store/AntiSpam.h"
#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/FileLock.h"
#include "store/Queue.h"
#include "store/Settings.h"

namespace vorel {

namespace {

constexpr int kTries = 10;
// The component's time-out while messages are read and handled.
constexpr int kSessionTimeout = 300;

// "DD-MM-YYYY HH:MM:SS", the stamp of the run's start and end lines.
std::string runStamp(const LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour,
                  t.minute, t.second);
    return buf;
}

int secondsOf(const std::string& text) {
    long v = roundedNumber(text);
    if (v < 0) {
        return 0;
    }
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// Settings the run has not read yet are empty: a setup.ini that ends early
// then neither deletes mail nor starts a program nobody chose.
Settings emptySettings() {
    Settings s;
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        s.line(n).clear();
    }
    return s;
}

// Why a step of the POP3 session failed, for the run log.
std::string failureText(const std::exception& e) {
    if (const auto* m = dynamic_cast<const MailError*>(&e)) {
        return mailErrorText(m->code());
    }
    return e.what();
}

}  // namespace

void fillHeaderDefaults(MailComponent& mail) {
    if (mail.subject().empty()) {
        mail.setSubject("(No Subject)");
    }
    if (mail.to().empty()) {
        mail.setTo("(No To)");
    }
    if (mail.from().empty()) {
        mail.setFrom("(No From)");
    }
    mail.setTo(tidyAddress(mail.to()));
}

void reduceToAddresses(MailComponent& mail) {
    // One form for every comparison and every stored address: the readable
    // one, whichever the sender's program wrote. The first sender only: a
    // reply, welcome or farewell goes to one person, not to everyone a
    // sender cares to list.
    mail.setFrom(readableDomains(firstAddress(extractAddresses(mail.from()))));
    mail.setTo(readableDomains(extractAddresses(mail.to())));
}

struct MailRun::Impl {
    Impl(std::string f, RunHost& h, MailComponent& m, const Clock& c)
        : folder(std::move(f)),
          host(h),
          mail(m),
          clock(c),
          report(folder, host, clock),
          ctx{folder, state, report, mail, clock, host},
          dialUp(DialUp::fromSystem()) {
        report.attach(mail);
        mail.setTranscriptHandler([this](const std::string& line, TranscriptDirection direction) {
            report.onTranscript(line, direction);
        });
        mail.setNoticeHandler([this](const std::string& text) { report.addLogLine(text); });
        // A stop asked for during a long wait on a server is seen there; the
        // command at hand still ends as it would have.
        mail.setWaitHandler([this] { ctx.yield(); });
    }
    ~Impl() {
        // The component may outlive the run; it must not call into a dead one.
        mail.setTranscriptHandler(nullptr);
        mail.setNoticeHandler(nullptr);
        mail.setWaitHandler(nullptr);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool doRunMail();
    // The steps of doRunMail: the folder's run lock and privacy (false when
    // the run cannot start), the run's state made fresh, the end of a run
    // whose queue another program holds (what doRunMail returns then), the
    // tries (true when they failed), what is closed after them and the
    // run's last line.
    bool claimFolder(std::optional<FileLock>& lock);
    void startRun();
    std::optional<bool> endsForQueueLock();
    bool tryRuns();
    void closeAfterTries();
    bool sayHowItEnded(bool failed);
    bool runOnce();
    bool readSettings();
    void readAntiSpam();
    bool openDatabase();
    bool dialUpStep();
    // Returns false when the try must end (too many unreadable headers).
    bool readMessages(long n);
    // The ledger of handled messages (data.mdb), so that a message kept on
    // the server, or left there by a failed try, is never answered twice.
    std::string ledgerKey(long i) const;
    // The key by Message-ID beside a unique-id key: a server that renumbers
    // its ids (an IMAP UIDVALIDITY change, a moved POP3 mailbox) does not
    // get its messages answered twice. Empty without a Message-ID.
    std::string messageIdKey() const;
    bool handledBefore(const std::string& key);
    int requestsAhead = 0;  // see mayReadWholeMessage
    // A message an earlier run left on the server on purpose (Database::markLeft).
    bool leftBefore(const std::string& key);
    void pruneLedger(const std::vector<std::string>& seen);
    std::string ledgerPrefix;
    std::vector<std::string> uids;
    bool readHeader();
    // Reads the headers after message i that the component asks for and
    // tells it which of those messages will be read whole, before their
    // handling needs them. `ahead` is the last message read ahead so far.
    void readAhead(long i, long n, long& ahead);
    bool isSpam();
    void closeRun();

    // The POP3 login, once more with a fresh token after a refused one.
    void popConnect();

    std::string folder;
    RunHost& host;
    MailComponent& mail;
    const Clock& clock;
    SignInServices signInServices;
    std::optional<AccountLogin> login;
    RunState state;
    Reporter report;
    RunContext ctx;
    DialUp dialUp;
};

bool MailRun::Impl::doRunMail() {
    // One run per folder, whichever window, timer or command starts it: two
    // would read the same mailbox and send the same queue.
    state.alreadyRunning = false;
    state.notSetUp = false;
    std::optional<FileLock> lock;
    if (!claimFolder(lock)) {
        return false;
    }
    startRun();
    ctx.yield();
    report.setStatus("Checking Log");
    std::remove(debugLogPath(folder).c_str());
    if (const std::optional<bool> ended = endsForQueueLock()) {
        return *ended;
    }
    const bool failed = tryRuns();
    closeAfterTries();
    return sayHowItEnded(failed);
}

bool MailRun::Impl::claimFolder(std::optional<FileLock>& lock) {
    try {
        lock.emplace(joinPath(folder, kRunLockFile), false);
    } catch (const std::exception& e) {
        host.showMessage(e.what());
        return false;
    }
    if (!lock->held()) {
        state.alreadyRunning = true;
        host.showMessage("a mail run is already in progress in " + folder);
        return false;
    }
    try {
        checkFolderIsPrivate(folder);
    } catch (const FolderRefused& e) {
        host.showMessage(e.what());
        return false;
    }
    return true;
}

void MailRun::Impl::startRun() {
    state.counters = RunCounters{};
    state.cancelRequested = false;
    state.carriedOver = false;
    state.movedToFailed = 0;
    state.databaseLocked = false;
    state.settings = emptySettings();
    state.signInStopped = false;
    state.signInUnreachable = false;
    // One login for all the tries: an access token serves them all.
    login.emplace(folder, signInServices);
    state.login = &*login;
}

std::optional<bool> MailRun::Impl::endsForQueueLock() {
    bool queueFree = false;
    try {
        queueFree = queueLockFree(folder);
    } catch (const std::exception& e) {
        report.addLogLine(e.what());
        return false;
    }
    if (queueFree) {
        return std::nullopt;
    }
    // Another program holds the queue: reading the mailbox now would
    // leave every answer with nowhere to go, so the run ends untouched.
    report.addLogLine(
        "The queue is locked by another program (msgqueue.lock), the mail run "
        "ends without reading mail or touching the queue");
    report.addLogLine(runStamp(clock.now()) + " Mail Run Complete");
    return true;
}

bool MailRun::Impl::tryRuns() {
    bool failed = true;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        failed = false;
        ctx.yield();
        if (runOnce()) {
            break;
        }
        // Trying again cannot make a missing setup.ini appear: it was said
        // once, and the run ends.
        if (state.cancelRequested || state.notSetUp) {
            break;
        }
        if (state.signInStopped || state.signInUnreachable) {
            // Another try would be refused the same way (and count against
            // the account at the provider), or wait as long for nothing.
            failed = true;
            break;
        }
        report.addLogLine("An Error Occurred Processing Mail, Starting again....Try " +
                          std::to_string(attempt) + " of " + std::to_string(kTries));
        failed = true;
        try {
            mail.disconnect();
        } catch (...) {
            // The try's failure is logged above; a session that cannot even be
            // closed is dropped, and the next try connects afresh.
        }
    }
    return failed;
}

void MailRun::Impl::closeAfterTries() {
    // Nothing is held open between runs.
    state.login = nullptr;
    login.reset();
    mail.setXoauth2(false);
    state.autoresponderRows.reset();
    state.listRows.reset();
    state.db.reset();
}

bool MailRun::Impl::sayHowItEnded(bool failed) {
    if (state.notSetUp) {
        return false;
    }
    if (state.signInStopped || state.signInUnreachable) {
        // Its one line said what to do; running again soon is not it.
    } else if (failed) {
        report.addLogLine(
            "Vorel did not process your emails properly, try running it again later!");
    } else if (state.cancelRequested) {
        // A stopped run did not complete.
        report.addLogLine(runStamp(clock.now()) + " Mail run Cancelled by User");
    } else {
        report.addLogLine(runStamp(clock.now()) + " Mail Run Complete");
    }
    return !failed;
}

bool MailRun::Impl::readSettings() {
    std::optional<int> lines = readSettingsLines(folder, state.settings);
    if (!lines) {
        state.notSetUp = true;
        host.showMessage("Please set up your email system first!, using SETUP");
        return false;
    }
    const Settings& s = state.settings;
    // A file that ends before line 18 leaves debug mode as it was.
    if (*lines >= Settings::kLineCount) {
        report.setDebugMode(debugModeOn(s.chkDEBUG));
    }
    report.setLogSetting(s.chkLOG);
    state.timeout = runTimeout(s.txtTIMEOUT);
    state.dialUp = lineIsOnWhenNonZero(s.chkAUTODIAL);
    return true;
}

void MailRun::Impl::readAntiSpam() {
    state.antiSpam.clear();
    if (!findAntiSpamFile(folder)) {
        return;
    }
    report.setStatus("Reading Anti Spam File...");
    state.antiSpam = readAntiSpamEntries(folder, [this] { ctx.yield(); });
    report.setStatus("Anti Spam File Read");
}

bool MailRun::Impl::openDatabase() {
    state.autoresponderRows.reset();
    state.listRows.reset();
    state.db.reset();
    std::string path = databasePath(folder);
    try {
        state.db.emplace(Database::open(path));
        // The queued records of a message whose handling a killed run never
        // committed are taken out: the message is handled again whole.
        try {
            settleQueueJournal(folder,
                               [this](const std::string& key) { return state.db->isHandled(key); });
        } catch (const std::exception&) {
            // Kept: at worst those replies go out twice.
        }
        loadTryRows(state);
    } catch (const std::exception& e) {
        // Message handling cannot work without the database; say which file.
        report.addLogLine("Unable to open the database " + path + ": " + e.what());
        return false;
    }
    return true;
}

bool MailRun::Impl::dialUpStep() {
    const Settings& s = state.settings;
    try {
        mail.setTimeout(secondsOf(state.timeout));
        dialUp.setEntryName(s.cmbDIALUP);
        report.addLogLine("Beginning Connect...");
        dialUp.setUserName(s.txtDIALUPID);
        dialUp.setPassword(s.txtDIALUPPASSWORD);
        dialUp.dial();
        ctx.yield();
        report.addLogLine("Connected");
    } catch (const std::exception&) {
        report.addLogLine("Connect Failed " + std::to_string(dialUp.errorNumber()) + " " +
                          dialUp.errorText());
        return false;
    }
    return true;
}

bool MailRun::Impl::readHeader() {
    ctx.yield();
    ctx.yield();
    try {
        mail.fetchHeader();
        fillHeaderDefaults(mail);
        ++state.counters.processed;
    } catch (...) {
        return false;
    }
    return true;
}

// Every matching entry is logged, deleted and counted: the test does not stop
// at the first match. Deleting a message already marked is the component's
// business (ours does nothing the second time).
bool MailRun::Impl::isSpam() {
    const std::string from = mail.from();
    const std::string subject = mail.subject();
    const std::string to = mail.to();
    bool spam = false;
    for (const AntiSpamEntry& e : state.antiSpam) {
        if (spamEntryMatches(e, from, to, subject)) {
            report.addLogLine("Message from:" + from + " Subject: " + subject +
                              " deleted anti-spam filter");
            mail.deleteMessage();
            spam = true;
            ++state.counters.antiSpam;
        }
    }
    return spam;
}

std::string MailRun::Impl::ledgerKey(long i) const {
    if (!uids.empty()) {
        return ledgerPrefix + "uidl:" + uids[static_cast<std::size_t>(i - 1)];
    }
    // Without unique ids: what the sender's program stamped on the message.
    const std::string id = mail.headerField("Message-ID");
    const std::string date = mail.headerField("Date");
    if (id.empty() && date.empty()) {
        return "";
    }
    return ledgerPrefix + "id:" + id + "|" + date + "|" + mail.headerField("From");
}

std::string MailRun::Impl::messageIdKey() const {
    if (uids.empty() || mail.headerField("Message-ID").empty()) {
        return "";
    }
    return ledgerPrefix + "id:" + mail.headerField("Message-ID") + "|" + mail.headerField("Date") +
           "|" + mail.headerField("From");
}

bool MailRun::Impl::leftBefore(const std::string& key) {
    try {
        return !key.empty() && state.db && state.db->isLeft(key);
    } catch (const std::exception&) {
        return false;
    }
}

bool MailRun::Impl::handledBefore(const std::string& key) {
    try {
        return !key.empty() && state.db && state.db->isHandled(key);
    } catch (const std::exception&) {
        return false;  // a ledger that cannot be read: handled as the rules say
    }
}

void MailRun::Impl::pruneLedger(const std::vector<std::string>& seen) {
    try {
        if (state.db) {
            state.db->pruneHandled(ledgerPrefix, seen);
        }
    } catch (const std::exception&) {
        // The entries stay until a later session prunes them.
    }
}

void MailRun::Impl::readAhead(long i, long n, long& ahead) {
    if (mail.headersAhead() <= 0) {
        return;
    }
    const long last = std::min(n, i + mail.headersAhead());
    // Nothing here is logged or counted: the header is read again, the same,
    // when its message's turn comes, and a failure is met again there.
    for (long j = std::max(ahead + 1, i); j <= last; ++j) {
        ahead = j;
        mail.selectMessage(j);
        try {
            mail.fetchHeader();
        } catch (const std::exception&) {
            return;
        }
        fillHeaderDefaults(mail);
        reduceToAddresses(mail);
        const bool skipped =
            handledBefore(ledgerKey(j)) || handledBefore(messageIdKey()) ||
            leftBefore(ledgerKey(j)) || leftBefore(messageIdKey()) ||
            std::any_of(state.antiSpam.begin(), state.antiSpam.end(), [this](const auto& e) {
                return spamEntryMatches(e, mail.from(), mail.to(), mail.subject());
            });
        if (!skipped && mayReadWholeMessage(ctx, requestsAhead)) {
            mail.willFetch(j);
        }
    }
}

bool MailRun::Impl::readMessages(long n) {
    // The messages' handling is committed in groups; every way out of the
    // loop commits what is open and deletes what was acted on.
    MessageGroup group(ctx);
    int headerFailures = 0;
    const std::string total = std::to_string(n);
    std::vector<std::string> seen;
    std::vector<std::string> seenById;
    bool wholeMailbox = true;
    long ahead = 0;
    requestsAhead = 0;
    for (long i = 1; i <= n; ++i) {
        readAhead(i, n, ahead);
        mail.selectMessage(i);
        report.setStatus("Reading Header " + std::to_string(i) + " of " + total);
        if (!readHeader()) {
            wholeMailbox = wholeMailbox && !uids.empty();
            report.addLogLine("Skipping Message " + std::to_string(i) + " Unable to read header.");
            if (++headerFailures > 3) {
                report.addLogLine("To many failiures reading headers in this session!");
                group.finish();
                try {
                    mail.disconnect();
                } catch (...) {
                    // Logged just above; the try ends and the next connects afresh.
                }
                return false;
            }
        } else {
            reduceToAddresses(mail);
            const std::string key = ledgerKey(i);
            const std::string byId = messageIdKey();
            if (key.empty()) {
                wholeMailbox = false;
            } else {
                seen.push_back(key);
            }
            if (!byId.empty()) {
                seenById.push_back(byId);
            }
            if (leftBefore(key) || leftBefore(byId)) {
                // Judged by an earlier run and left on the server: not ours to
                // answer, delete or mention again.
            } else if (handledBefore(key) || handledBefore(byId)) {
                report.addLogLine("Message from:" + mail.from() + " Subject: " + mail.subject() +
                                  " was handled by an earlier run, skipped");
                if (!lineIsOnUnlessZero(state.settings.chkLEAVE)) {
                    try {
                        mail.deleteMessage();  // the earlier deletion was lost
                    } catch (const std::exception&) {
                    }
                }
            } else {
                const std::string line =
                    "To: " + mail.to() + " From: " + mail.from() + " Subject: " + mail.subject();
                report.setStatus("Message " + line);
                report.addScreenLogLine("Testing " + line);
                bool spam = isSpam();
                report.setStatus("Done ..");
                if (!spam) {
                    group.handle(i, key);
                    if (!byId.empty()) {
                        try {  // in the group's transaction
                            if (handledBefore(key)) {
                                state.db->markHandled(byId);
                            } else if (leftBefore(key)) {
                                state.db->markLeft(byId);
                            }
                        } catch (const std::exception&) {
                            // The unique-id key alone still holds.
                        }
                    }
                    group.commitIfDue();
                }
                if (state.databaseLocked) {
                    // Each further message would wait the busy time-out for nothing.
                    report.addLogLine("The database " + state.db->path() +
                                      " is locked by another program: the messages left are "
                                      "handled by a later run");
                    wholeMailbox = false;
                    break;
                }
            }
        }
        if (state.cancelRequested) {
            group.finish();
            return true;
        }
        if (mail.sessionLost()) {
            wholeMailbox = false;  // the try fails (runOnce); the rest waits for the next
            break;
        }
    }
    group.finish();
    try {
        if (state.db && !state.databaseLocked) {
            state.db->pruneAnswered(epochSeconds(clock.now()));
        }
    } catch (const std::exception&) {
        // Old replies hold nothing back; a later run prunes them.
    }
    if (wholeMailbox) {
        if (!uids.empty()) {
            seen.clear();
            for (long i = 1; i <= n; ++i) {
                seen.push_back(ledgerKey(i));
            }
        }
        seen.insert(seen.end(), seenById.begin(), seenById.end());
        pruneLedger(seen);
    }
    return true;
}

void MailRun::Impl::closeRun() {
    // The run's work is done and logged: closing errors do not undo it.
    try {
        cleanUpMessageFiles(ctx);
    } catch (...) {
        // A file left behind is removed by the next run's clean-up.
    }
    try {
        startEndProgram(ctx);
    } catch (...) {
        // A program that cannot be started is logged there; only running
        // out of memory gets here, and the run is over anyway.
    }
    report.setStatus(state.cancelRequested ? "Mail run Cancelled by User" : "Mail Run Complete");
    if (state.dialUp && lineIsOnWhenNonZero(state.settings.chkAUTODISCONNECT)) {
        try {
            dialUp.hangUp();
        } catch (...) {
            // Said, as a failed dial is: the connection the user wants ended
            // is still up.
            report.addLogLine("Hang Up Failed " + std::to_string(dialUp.errorNumber()) + " " +
                              dialUp.errorText());
        }
    }
}

bool MailRun::Impl::runOnce() {
    state.messagesOnConnection = 0;
    state.smtpConnected = false;
    state.dialUp = false;

    if (!readSettings()) {
        return false;
    }
    readAntiSpam();
    if (!openDatabase()) {
        return false;
    }
    if (state.dialUp && !dialUpStep()) {
        return false;
    }
    report.addLogLine(runStamp(clock.now()) + " Mail Run Started");

    const Settings& s = state.settings;
    try {
        login->prepare(s);
        state.settings.txtPASSWORD = login->secret();
        mail.setXoauth2(login->xoauth2());
        report.setStatus("Connecting to POP server");
        mail.setTimeout(secondsOf(state.timeout));
        popConnect();
        // Counted as the server reports it: a mailbox kept on the server
        // for years holds more messages than a 16-bit count.
        const long n = mail.messageCount();
        ledgerPrefix = "pop:" + s.txtUSERID + "@" + s.txtPOP + "|";
        uids = n > 0 ? mail.uniqueIds() : std::vector<std::string>{};
        report.setStatus("Connected...");
        mail.setTimeout(kSessionTimeout);
        if (n <= 0) {
            report.addLogLine("No messages to download!");
        } else if (!readMessages(n)) {
            return false;
        }
        if (mail.sessionLost()) {
            // Cut off on the way: what is left is not skipped as handled, and
            // no deletion was committed. The try fails as a connection does;
            // the ledger keeps the next from answering anything twice.
            throw MailError(mailcode::kNotConnected, "the mailbox session was lost");
        }
        afterMessages(ctx);
        mail.disconnect();
        if (state.cancelRequested) {
            report.addLogLine("Mail Run Cancelled by User");
            return true;
        }
        state.smtpConnected = false;
        report.addLogLine("Process complete... Starting message send");
        // The user's time-out bounds every SMTP reply wait: a silent server
        // must not hold the run for the mailbox session's long one.
        mail.setTimeout(secondsOf(state.timeout));
        runSendingStep(ctx);
        logStatistics(ctx);
        sendLogEmail(ctx);
    } catch (const SignInStop& e) {
        state.signInStopped = true;
        report.addLogLine(e.what());
        return false;
    } catch (const TokenEndpointUnreachable& e) {
        state.signInUnreachable = true;
        report.addLogLine(e.what());
        return false;
    } catch (const std::exception& e) {
        report.addLogLine("Connect to Host Failed Please check your email host settings " +
                          failureText(e));
        explainPasswordRefusal(ctx, e);
        return false;
    }
    closeRun();
    return true;
}

void MailRun::Impl::popConnect() {
    const Settings& s = state.settings;
    try {
        mail.popConnect(s.txtPOP, s.txtUSERID, s.txtPASSWORD);
    } catch (const MailError& refusal) {
        if (!retryWithFreshToken(ctx, refusal)) {
            throw;
        }
        mail.popConnect(s.txtPOP, s.txtUSERID, s.txtPASSWORD);
    }
}

MailRun::MailRun(std::string folder, RunHost& host, MailComponent& mail, const Clock& clock)
    : impl_(std::make_unique<Impl>(std::move(folder), host, mail, clock)) {}

MailRun::~MailRun() = default;

bool MailRun::doRunMail() {
    const bool ok = impl_->doRunMail();
    impl_->report.closeLog();  // kept open for the run's lines only
    return ok;
}

const RunState& MailRun::state() const {
    return impl_->state;
}

void MailRun::setSignInServices(const SignInServices& services) {
    impl_->signInServices = services;
}

DialUp& MailRun::dialUp() {
    return impl_->dialUp;
}

}  // namespace vorel
